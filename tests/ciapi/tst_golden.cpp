#include <QtTest>

#include "ciapi/ciapi.h"
#include "goldenimage.h"
#include "renderfixture.h"
#include "support/testmain.h"

using namespace CIAPI;
using namespace enginetest;

namespace {

struct Scene
{
    int profile = 0;
    int tuning = 0;
    float exposure = 0.f;
    float warmer = 0.f; // kelvin added to the picture's own temperature
    float tint = 0.f;
    float dof = 15.2f;
    bool focusNear = false;
    int mode = 0;
};

// The scenes of the reference renders: tune and tone values only; the depth effect with the
// nearest plane in focus; the focus-slider view (depth in false colour).
Scene sceneNamed(const QString& name)
{
    if (name == "tuned")
        return Scene { 0, 1, 0.3f, 700.f, 10.f };
    if (name == "refocus")
        return Scene { 3, 0, 0.f, 0.f, 0.f, 2.8f, true };
    return Scene { 3, 0, 0.f, 0.f, 0.f, 4.f, true, 2 }; // "focusband"
}

// The generated picture without sensor noise, rendered at its coarsest level.
Decoded render(const vrxgen::Picture& pic, const Scene& s, std::vector<uint8_t>* bytes = nullptr)
{
    auto r = rendererFor(pic, s.profile);
    ApplyTuning(s.tuning, *r);
    r->setProperty(FloatParam::Exposure, s.exposure);
    r->setProperty(FloatParam::Temperature, r->getProperty(FloatParam::Temperature) + s.warmer);
    r->setProperty(FloatParam::Tint, s.tint);
    r->setProperty(FloatParam::DepthOfField, s.dof);
    if (s.focusNear)
        r->setProperty(FloatParam::FocusDepth, pic.scene.planes.front().depth);
    r->setMode(s.mode);
    const int level = r->outputBuffer().levelCount() - 1;
    const Image& img = r->outputBuffer()[level];
    const auto jpeg = goldenBytes(renderLevel(*r, level), img.width(), img.height());
    if (bytes)
        *bytes = jpeg;
    return readJpeg(jpeg);
}

std::string goldenPath(const QString& name)
{
    return (QStringLiteral(OSTRA_GOLDEN_DIR) + "/" + name + ".jpg").toStdString();
}

} // namespace

class TestGolden : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        vrxgen::PictureOptions o = pictureOptions(5);
        o.noise = 0.f;
        m_picture = vrxgen::makePicture(o);
    }

    // Renders against the references kept in the repository, and a small but real change of
    // the settings against the same reference, which must fall outside the tolerance.
    // OSTRA_UPDATE_GOLDEN=1 rewrites the references instead (after an intended change).
    void matchesGolden_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("change");
        const char* rows[][3]
            = { { "tuned", "tuned", "exposure" }, { "tuned, warmer", "tuned", "temperature" },
                  { "refocus", "refocus", "focus" }, { "focusband", "focusband", "aperture" } };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
    }
    void matchesGolden()
    {
        QFETCH(QString, name);
        QFETCH(QString, change);
        std::vector<uint8_t> bytes;
        const Decoded actual = render(m_picture, sceneNamed(name), &bytes);
        if (qgetenv("OSTRA_UPDATE_GOLDEN") == "1") {
            QVERIFY(writeFileBytes(goldenPath(name), bytes));
            QSKIP("reference rewritten");
        }
        const Decoded expected = readJpeg(fileBytes(goldenPath(name)));
        const std::string why = goldenMismatch(actual, expected);
        if (!why.empty()) {
            // Keep the render for a look next to the reference.
            const QString dir = qEnvironmentVariable("OSTRA_BINARY_DIR", QDir::tempPath()) + "/golden-actual";
            QDir().mkpath(dir);
            writeFileBytes((dir + "/" + name + ".jpg").toStdString(), bytes);
            QFAIL(qPrintable(name + ": " + QString::fromStdString(why) + "; render saved in " + dir));
        }
        Scene s = sceneNamed(name);
        if (change == "exposure")
            s.exposure += 0.1f;
        else if (change == "temperature")
            s.warmer += 300.f;
        else if (change == "focus")
            s.focusNear = false;
        else
            s.dof = 5.6f;
        QVERIFY2(!goldenMismatch(render(m_picture, s), expected).empty(), qPrintable(change));
    }

private:
    vrxgen::Picture m_picture;
};

OSTRA_TEST_MAIN_CORE(TestGolden)
#include "tst_golden.moc"

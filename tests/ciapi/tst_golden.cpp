#include <QtTest>

#include <cstdlib>
#include <random>

#include "ciapi/ciapi.h"
#include "goldenimage.h"
#include "renderfixture.h"
#include "support/testmain.h"

using namespace CIAPI;
using namespace enginetest;

namespace {

// The scenes of the reference renders: one generated picture without sensor noise, rendered
// at its coarsest level with fixed settings.
vrxgen::Picture goldenPicture()
{
    vrxgen::PictureOptions o;
    o.seed = 5;
    o.noise = 0.f;
    o.focalLength = 150;
    o.moduleWidth = 320;
    o.moduleHeight = 240;
    return vrxgen::makePicture(o);
}

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

Scene sceneNamed(const QString& name)
{
    Scene s;
    if (name == "tuned") { // tune and tone values only
        s.tuning = 1;
        s.exposure = 0.3f;
        s.warmer = 700.f;
        s.tint = 10.f;
    } else if (name == "refocus") { // depth effect with the nearest plane in focus
        s.profile = 3;
        s.dof = 2.8f;
        s.focusNear = true;
    } else if (name == "focusband") { // the focus-slider view: depth in false colour
        s.profile = 3;
        s.dof = 4.f;
        s.focusNear = true;
        s.mode = 2;
    }
    return s;
}

RgbImage render(const vrxgen::Picture& pic, const Scene& s)
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
    return rgbFromRgba(renderLevel(*r, level), img.width(), img.height());
}

QString goldenPath(const QString& name)
{
    return QStringLiteral(OSTRA_GOLDEN_DIR) + "/" + name + ".png";
}

bool updating()
{
    return qgetenv("OSTRA_UPDATE_GOLDEN") == "1";
}

} // namespace

class TestGolden : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_picture = goldenPicture(); }

    // Renders against the references kept in the repository. OSTRA_UPDATE_GOLDEN=1 rewrites
    // them instead (after an intended change of the pictures).
    void matchesGolden_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* name : { "tuned", "refocus", "focusband" })
            QTest::newRow(name) << QString(name);
    }
    void matchesGolden()
    {
        QFETCH(QString, name);
        const RgbImage actual = render(m_picture, sceneNamed(name));
        if (updating()) {
            writePng(goldenPath(name).toStdString(), actual);
            qInfo("rewrote %s", qPrintable(goldenPath(name)));
            return;
        }
        const RgbImage expected = readPng(goldenPath(name).toStdString());
        const GoldenDifference d = goldenDifference(actual, expected, GoldenTolerance().pixelStep);
        if (!withinTolerance(d)) {
            // Keep the render for a look next to the reference.
            const QString dir = qEnvironmentVariable("OSTRA_BINARY_DIR", QDir::tempPath()) + "/golden-actual";
            QDir().mkpath(dir);
            writePng((dir + "/" + name + ".png").toStdString(), actual);
            QFAIL(qPrintable(name + ": " + QString::fromStdString(describe(d)) + "; render saved in " + dir));
        }
    }

    // Small but real changes of the settings fall outside the tolerance.
    void slightlyDifferentSettingsFail_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("change");
        const char* rows[][2] = { { "exposure", "tuned" }, { "temperature", "tuned" }, { "focus", "refocus" },
            { "aperture", "focusband" } };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[0]);
    }
    void slightlyDifferentSettingsFail()
    {
        if (updating())
            QSKIP("references are being rewritten");
        QFETCH(QString, name);
        QFETCH(QString, change);
        Scene s = sceneNamed(name);
        if (change == "exposure")
            s.exposure += 0.1f;
        else if (change == "temperature")
            s.warmer += 300.f;
        else if (change == "focus")
            s.focusNear = false;
        else if (change == "aperture")
            s.dof = 5.6f;
        const RgbImage expected = readPng(goldenPath(name).toStdString());
        const GoldenDifference d
            = goldenDifference(render(m_picture, s), expected, GoldenTolerance().pixelStep);
        QVERIFY2(!withinTolerance(d), describe(d).c_str());
    }

private:
    vrxgen::Picture m_picture;
};

OSTRA_TEST_MAIN_CORE(TestGolden)
#include "tst_golden.moc"

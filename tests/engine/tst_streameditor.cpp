#include "support/testmain.h"

#include "ciapi/propertyaccessor.h"
#include "ciapi/renderer.h"
#include "ciapi/statefileeditor.h"
#include "engine/enginestreams.h"
#include "engine/statefile.h"
#include "engine/streameditor.h"
#include "engine/streamsource.h"
#include "engine/vrxmetadata.h"
#include "tools/vrxgen/generator.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fstream>

namespace {

CIAPI::StateFileEditor stateOf(const QString& path)
{
    std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
    return CIAPI::StateFileEditor(in);
}

} // namespace

class TestStreamEditor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        vrxgen::PictureOptions o;
        o.moduleWidth = 64;
        o.moduleHeight = 48;
        o.frames = 1;
        o.orientation = 6;
        o.seed = 4;
        m_picture = m_dir.path() + "/IMG_4.vrx";
        QVERIFY(vrxgen::writeFile(QFile::encodeName(m_picture).toStdString(), vrxgen::makePicture(o).vrx));
        m_state = StateFile::pathFor(QUrl::fromLocalFile(m_picture));
    }

    void init() { QFile::remove(m_state); }

    // Edits written by one editor come back in another; a revert returns to the
    // unedited picture and keeps the stars.
    void roundTripAndRevert()
    {
        {
            StreamEditor editor(false);
            editor.setSource(std::make_shared<StreamSource>(QUrl::fromLocalFile(m_picture)));
            editor.renderer().setProperty(CIAPI::FloatParam::Exposure, 1.5f);
            editor.renderer().setProperty(CIAPI::IntParam::UserRating, 4);
            editor.renderer().transform().rotate90(1);
            editor.serialize(QFileInfo(m_state), false, false);
        }
        QVERIFY(QFile::exists(m_state));
        QCOMPARE(stateOf(m_state).userRating(), 4);

        StreamEditor reader(false);
        reader.setSource(std::make_shared<StreamSource>(QUrl::fromLocalFile(m_picture)));
        const CIAPI::Transform original = reader.renderer().transform();
        const float defaultExposure = reader.renderer().getProperty(CIAPI::FloatParam::Exposure);
        reader.deserialize(QFileInfo(m_state), false);
        QCOMPARE(reader.renderer().getProperty(CIAPI::FloatParam::Exposure), 1.5f);
        QVERIFY(reader.renderer().transform() != original);
        int outputs = 0;
        reader.setOutputUpdateListener(
            [&](const CIAPI::ImagePyramid&, const CIAPI::ROI&, int) { ++outputs; });
        reader.render(); // the coarsest level, whole
        QVERIFY(outputs > 0);

        StreamEditor reverted(false);
        reverted.setSource(std::make_shared<StreamSource>(QUrl::fromLocalFile(m_picture)));
        reverted.deserialize(QFileInfo(m_state), true);
        QCOMPARE(reverted.renderer().getProperty(CIAPI::IntParam::UserRating), qint64(4));
        QCOMPARE(reverted.renderer().getProperty(CIAPI::FloatParam::Exposure), defaultExposure);
        QCOMPARE(reverted.renderer().transform().orientationCode(), 6);
    }

    // Appending adds to the file; a full write replaces it.
    void appendAndFull()
    {
        StreamEditor editor(false);
        editor.setSource(std::make_shared<StreamSource>(QUrl::fromLocalFile(m_picture)));
        editor.renderer().setProperty(CIAPI::IntParam::UserRating, 2);
        editor.serialize(QFileInfo(m_state), false, true);
        const qint64 one = QFileInfo(m_state).size();
        QVERIFY(one > 0);
        editor.renderer().setProperty(CIAPI::IntParam::UserRating, 3);
        editor.serialize(QFileInfo(m_state), true, false);
        const qint64 appended = QFileInfo(m_state).size();
        QVERIFY(appended > one);
        QCOMPARE(stateOf(m_state).userRating(), 3);
        // Full: the file is replaced, not appended to.
        editor.serialize(QFileInfo(m_state), true, true);
        QVERIFY(QFileInfo(m_state).size() < appended);
        QCOMPARE(stateOf(m_state).userRating(), 3);
    }

private:
    QTemporaryDir m_dir;
    QString m_picture;
    QString m_state;
};

OSTRA_TEST_MAIN_CORE(TestStreamEditor)
#include "tst_streameditor.moc"

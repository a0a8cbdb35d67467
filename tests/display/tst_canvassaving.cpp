#include "support/testmain.h"

#include "display/geometryedits.h"
#include "display/imageedititem.h"
#include "engine/imageeditor.h"
#include "engine/imagelocator.h"
#include "engine/sentinels.h"
#include "engine/statefile.h"
#include "engine/transformhelpers.h"
#include "support/filetree.h"
#include "support/picturefiles.h"

#include <QFile>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

using ostra::test::PictureFiles;

namespace {

struct Canvas
{
    QQuickWindow window;
    ImageEditItem* item;

    Canvas(ImageLocator& locator, const QString& path)
    {
        window.resize(320, 240);
        item = new ImageEditItem(window.contentItem());
        item->setSize(QSizeF(320, 240));
        item->setLocator(&locator);
        window.show();
        item->setLocation(QUrl::fromLocalFile(path).toString());
    }
};

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// What the canvas writes to a picture's state file: nothing for a visit, pending geometry
// edits soon after the last one (so a crash loses little), never anything for a file that
// is no picture.
class TestCanvasSaving : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    // Opening and leaving a picture (with or without a state file) writes nothing.
    void viewOnlyVisitWritesNothing()
    {
        const QString fresh = PictureFiles::write(m_dir.path(), "fresh.vrx", PictureFiles::small(3));
        const QString rated = PictureFiles::write(m_dir.path(), "rated.vrx", PictureFiles::small(4));
        StateFile::writeRating(QUrl::fromLocalFile(rated), 2);
        const QString ratedState = StateFile::pathFor(QUrl::fromLocalFile(rated));
        const QByteArray before = contents(ratedState);
        {
            ImageLocator locator(2, nullptr);
            for (const QString& path : { fresh, rated }) {
                Canvas canvas(locator, path);
                QVERIFY(QTest::qWaitFor(
                    [&] { return canvas.item->imageQuality() >= ImageEditItem::Preview; }, 60000));
                QTest::qWait(ImageEditItem::kSaveDelayMs + 300);
                canvas.item->setLocation(QString());
            }
        } // the locator waits for the editors' recycle steps
        QVERIFY(!QFile::exists(StateFile::pathFor(QUrl::fromLocalFile(fresh))));
        QCOMPARE(contents(ratedState), before);
    }

    // Crop, turn and mirror of a picture still open are in its state file about two
    // seconds after the last of them, written once for a burst of changes.
    void pendingEditsAreSavedSoon()
    {
        const QString path = PictureFiles::write(m_dir.path(), "edited.vrx", PictureFiles::small(5));
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator, path);
        QVERIFY(QTest::qWaitFor([&] { return !canvas.item->loading(); }, 60000));
        QSignalSpy saved(canvas.item->viewer(), &ImageViewer::notifyFileUpdatedSignal);
        GeometryEdits* edits = canvas.item->geometryEdits();
        canvas.item->setEditorMode(ImageEdit::Crop);
        edits->setCropMode(GeometryEdits::Preset_1_1);
        edits->applyCrop();
        canvas.item->setEditorMode(ImageEdit::None);
        edits->rotateRight();
        edits->mirrorHorizontal();
        QVERIFY(canvas.item->isSavePending());
        QCOMPARE(saved.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(saved.count(), 1, 10000);
        QVERIFY(!canvas.item->viewer()->contentDirty());
        QTest::qWait(ImageEditItem::kSaveDelayMs + 500);
        QCOMPARE(saved.count(), 1);

        // Read back by another instance while this one still holds the picture open, as
        // after a crash.
        ImageLocator other(2, nullptr);
        Canvas again(other, path);
        QVERIFY(QTest::qWaitFor([&] { return !again.item->loading(); }, 60000));
        QCOMPARE(decomposeTransform(again.item->geometryEdits()->transform()),
            decomposeTransform(edits->transform()));
        QVERIFY(sameCrop(again.item->geometryEdits()->crop(), edits->crop()));
    }

    // A file that is not a picture is not opened: nothing to edit or rate, no state file.
    void notAPictureIsNotOpened()
    {
        const QString path = m_dir.path() + "/notes.vrx";
        QVERIFY(ostra::test::writeTreeFile(path, "shopping: bread, milk\n"));
        const QUrl url = QUrl::fromLocalFile(path);
        ImageLocator locator(2, nullptr);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^can't read file"));
        Canvas canvas(locator, path);
        QVERIFY(!canvas.item->viewer());
        QVERIFY(!canvas.item->captureKnown());
        QVERIFY(canvas.item->pyramid() == invalidPyramid());
        canvas.item->setRating(3);
        QCOMPARE(canvas.item->rating(), 0);

        // The gallery's row says why; a rating of the row is refused.
        locator.rowFor(url);
        QVERIFY(QTest::qWaitFor([&] { return !locator.rowFor(url).isEmpty(); }, 60000));
        QVERIFY(locator.rowFor(url).value(IResolver::Invalid).toBool());
        QVERIFY(!locator.rowFor(url).value(IResolver::Problem).toString().isEmpty());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Error rating.*not a picture"));
        locator.rate(url, 4);
        QVERIFY(!QFile::exists(StateFile::pathFor(url)));
    }
};

OSTRA_TEST_MAIN(TestCanvasSaving)
#include "tst_canvassaving.moc"

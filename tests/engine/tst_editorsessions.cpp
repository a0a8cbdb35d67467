#include "support/recordingcanvas.h"
#include "support/testmain.h"

#include "ciapi/image.h"
#include "ciapi/parameters.h"
#include "ciapi/statefileeditor.h"
#include "engine/export.h"
#include "engine/imagelocator.h"
#include "engine/statefile.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <atomic>
#include <fstream>
#include <thread>

#include "tools/vrxgen/generator.h"

namespace {

using Canvas = ostra::test::RecordingCanvas;

int savedRating(const QString& raw)
{
    std::ifstream in(
        QFile::encodeName(StateFile::pathFor(QUrl::fromLocalFile(raw))).toStdString(), std::ios::binary);
    if (!in)
        return -1;
    return CIAPI::StateFileEditor(in).userRating();
}

} // namespace

class TestEditorSessions : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QStringList m_files;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        for (int i = 0; i < 4; ++i) {
            vrxgen::PictureOptions o;
            o.moduleWidth = 96;
            o.moduleHeight = 72;
            o.frames = 1;
            o.seed = std::uint32_t(20 + i);
            m_files << m_dir.path() + QString("/IMG_%1.vrx").arg(i);
            QVERIFY(vrxgen::writeFile(
                QFile::encodeName(m_files.last()).toStdString(), vrxgen::makePicture(o).vrx));
        }
    }

    void init()
    {
        for (const QString& f : qAsConst(m_files))
            QFile::remove(StateFile::pathFor(QUrl::fromLocalFile(f)));
    }

    // With both editors lent, a third open waits until one is handed back and its
    // recycle step (state saved with the new rating) has finished; nothing in that step
    // needs the waiting GUI thread.
    void thirdOpenWaitsForARelease()
    {
        ImageLocator locator(2, nullptr);
        QSemaphore reached;
        QSemaphore proceed;
        std::atomic<int> recycled { 0 };
        locator.setRecycleProbe([&](ImageEditor&) {
            reached.release();
            proceed.acquire();
            ++recycled;
        });
        Canvas a;
        Canvas b;
        Canvas c;
        ImageEditor* first = locator.openForView(QUrl::fromLocalFile(m_files[0]), &a);
        ImageEditor* second = locator.openForView(QUrl::fromLocalFile(m_files[1]), &b);
        QVERIFY(first && second && first != second);
        QCOMPARE(a.attached, QList<ImageEditor*> { first });
        QCOMPARE(locator.currentEditor(), second);
        QCOMPARE(first->currentUrl(), QUrl::fromLocalFile(m_files[0]));
        QVERIFY(first->setRating(4));

        locator.releaseEditorSlot(first, &a);
        // The recycle step is held until the third open is under way.
        std::thread helper([&] {
            reached.acquire();
            proceed.release();
        });
        ImageEditor* third = locator.openForView(QUrl::fromLocalFile(m_files[2]), &c);
        helper.join();
        QCOMPARE(third, first);
        QCOMPARE(recycled.load(), 1);
        QCOMPARE(third->currentUrl(), QUrl::fromLocalFile(m_files[2]));
        // Handed back with the save forced: the rating is in the state file.
        QCOMPARE(savedRating(m_files[0]), 4);
        // The first canvas no longer hears the editor; the third gets its renders.
        QTRY_VERIFY(!c.outputs.isEmpty());
        QVERIFY(a.outputs.size() <= 2);
        proceed.release(10);
    }

    // An editor handed back keeps none of its picture's buffers once recycled, whether it
    // was lent to the canvas or borrowed for a background render.
    void handedBackEditorsHoldNoPictureBuffers_data()
    {
        QTest::addColumn<bool>("forCanvas");
        QTest::newRow("canvas") << true;
        QTest::newRow("background render") << false;
    }
    void handedBackEditorsHoldNoPictureBuffers()
    {
        QFETCH(bool, forCanvas);
        ImageLocator locator(2, nullptr);
        const QUrl url = QUrl::fromLocalFile(m_files[1]);
        const long long before = CIAPI::Image::LiveBytes();
        long long fullSize = 0;
        if (forCanvas) {
            Canvas canvas;
            ImageEditor* editor = locator.openForView(url, &canvas);
            QVERIFY(editor);
            editor->renderLevel(0, 2);
            QTRY_VERIFY(!canvas.outputs.isEmpty());
            {
                const CIAPI::ImagePyramid pyramid = editor->renderer().outputBuffer();
                fullSize = qint64(pyramid[0].stride()) * pyramid[0].height();
            }
            QVERIFY(fullSize > 0);
            QVERIFY(CIAPI::Image::LiveBytes() - before >= fullSize);
            locator.releaseEditorSlot(editor, &canvas);
            canvas.outputs.clear();
        } else {
            locator.setBackgroundProcessing(true);
            std::atomic<long long> seen { 0 };
            locator.setRecycleProbe([&](ImageEditor&) { seen = CIAPI::Image::LiveBytes() - before; });
            Export::SizeSpec size;
            size.unit = Export::DepthOnly;
            size.value = -1;
            locator.requestWriter(url, CIAPI::ExportPPM, QProcess::nullDevice(), size, 0);
            // Recycled: the state with its depth is saved.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(StateFile::pathFor(url)), 60000);
            fullSize = seen;
            QVERIFY(fullSize > 0); // the picture was still open before its state was saved
        }
        QTRY_VERIFY_WITH_TIMEOUT(CIAPI::Image::LiveBytes() - before < fullSize / 2, 20000);
    }

    // Opening a picture again while the editor it was left in still saves it waits for
    // that save: the new editor reads what was left, not the state before.
    void reopeningReadsWhatWasLeft()
    {
        QSemaphore reached;
        QSemaphore proceed;
        ImageLocator locator(2, nullptr);
        // Before the locator ends, even after a failed check: no recycle step waits then.
        struct Release
        {
            QSemaphore& proceed;
            ~Release() { proceed.release(10); }
        } release { proceed };
        locator.setRecycleProbe([&](ImageEditor&) {
            reached.release();
            proceed.acquire();
        });
        Canvas a;
        Canvas b;
        const QUrl url = QUrl::fromLocalFile(m_files[2]);
        ImageEditor* first = locator.openForView(url, &a);
        QVERIFY(first->setRating(3));
        locator.releaseEditorSlot(first, &a);
        // The save is held a while after it began, whatever the open does meanwhile.
        std::thread helper([&] {
            reached.acquire();
            QThread::msleep(300);
            proceed.release();
        });
        ImageEditor* second = locator.openForView(url, &b);
        helper.join();
        QVERIFY(second != first);
        QCOMPARE(savedRating(m_files[2]), 3);
        QCOMPARE(second->rating(), 3);
        locator.releaseEditorSlot(second, &b);
    }

    // Handing back an editor detaches every remaining listener before its recycle step;
    // an editor that is not one of the pool only loses the client.
    void handBackDetachesOthers()
    {
        ImageLocator locator(2, nullptr);
        Canvas owner;
        Canvas watcher;
        std::atomic<int> detachedBeforeRecycle { -1 };
        locator.setRecycleProbe(
            [&](ImageEditor&) { detachedBeforeRecycle = int(watcher.detachedFrom.size()); });
        ImageEditor* editor = locator.openForView(QUrl::fromLocalFile(m_files[3]), &owner);
        editor->addListener(&watcher);
        locator.releaseEditorSlot(editor, &owner);
        QCOMPARE(watcher.detachedFrom, QList<ImageRouter*> { editor });
        QVERIFY(owner.detachedFrom.isEmpty());
        QTRY_COMPARE(detachedBeforeRecycle.load(), 1);

        ImageEditor foreign;
        Canvas other;
        foreign.addListener(&other);
        locator.releaseEditorSlot(&foreign, &other);
        QVERIFY(!foreign.hasListener(&other));
        QVERIFY(other.detachedFrom.isEmpty());
        locator.releaseEditorSlot(nullptr, &other);
    }

    // Shutting down while an export is queued and an editor lent, with no event loop
    // running any more: it ends, and what was edited is saved.
    void shutdownWithWorkInFlight()
    {
        auto* locator = new ImageLocator(2, nullptr);
        Metahistory store(m_dir.path() + "/meta.db", m_dir.path());
        locator->setMetahistory(&store);
        Canvas canvas;
        ImageEditor* editor = locator->openForView(QUrl::fromLocalFile(m_files[1]), &canvas);
        QVERIFY(editor->setRating(2));
        const QString out = m_dir.path() + "/export.jpg";
        const std::shared_ptr<ImageKeeper> keeper = locator->keeperFor(QUrl::fromLocalFile(m_files[3]));
        const Export::SizeSpec size { Export::Literal, 0, QSize(64, 48) };
        if (locator->exportQueue()->enqueue(keeper->url(), keeper->streamSource(), 0, out, size, 0))
            locator->exportQueue()->setWriter(editor);
        delete locator;
        QCOMPARE(savedRating(m_files[1]), 2);
        // The export was either written whole or not at all.
        QVERIFY(!QFile::exists(out + ".transfer"));
        if (QFile::exists(out))
            QVERIFY(QFileInfo(out).size() > 0);
    }
};

OSTRA_TEST_MAIN(TestEditorSessions)
#include "tst_editorsessions.moc"

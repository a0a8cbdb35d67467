#include "support/eventloopturns.h"
#include "support/heldopens.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QStandardItemModel>

#include "pipeline/pipelinemodel.h"
#include "routerfixture.h"

#include "platform/ifilecalls.h"

using namespace routertest;

namespace {

// The system's file calls, but the sync of one folder fails.
class FailingFolderSync : public IFileCalls
{
public:
    QString failFolder;
    ssize_t copyFileRange(int in, int out, size_t length) override
    {
        return systemFileCalls().copyFileRange(in, out, length);
    }
    ssize_t read(int fd, void* buffer, size_t length) override
    {
        return systemFileCalls().read(fd, buffer, length);
    }
    ssize_t write(int fd, const void* buffer, size_t length) override
    {
        return systemFileCalls().write(fd, buffer, length);
    }
    int fsync(int fd) override { return systemFileCalls().fsync(fd); }
    int syncFolder(const char* folder) override
    {
        if (QFileInfo(QFile::decodeName(folder)).fileName() == failFolder) {
            errno = EIO;
            return -1;
        }
        return IFileCalls::syncFolder(folder);
    }
};

} // namespace

class TestRecipeRouter : public QObject
{
    Q_OBJECT
private slots:
    // A local source of any size is copied by the volume's copy worker, never on the
    // scheduler's thread.
    void localSourceByWorker_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("type");
        QTest::newRow("1 byte") << 1 << "jpg";
        QTest::newRow("1023 bytes") << 1023 << "vrx";
        QTest::newRow("1024 bytes") << 1024 << "vrx";
    }

    void localSourceByWorker()
    {
        QFETCH(int, size);
        QFETCH(QString, type);
        Fixture f;
        const Recipe r = recipe("a." + type, size, type);
        f.imported(1, "one/a." + type, r);
        // Leftovers of an earlier cut-off copy stand in no one's way.
        QVERIFY(writeTreeFile(f.path("two/a." + type + ".transfer"), "cut off"));
        f.maxInFlight = 0;
        QVERIFY(f.put(2, "two/a." + type, r));
        QTRY_VERIFY(!f.router->hasFile(f.url("two/a." + type)));
        QCOMPARE(f.source.fetches.size(), 1);
        QCOMPARE(f.maxInFlight, 1);
        QCOMPARE(readFile(f.path("two/a." + type)), QByteArray(size, 'x'));
        QCOMPARE(QDir(f.path("two")).entryList(QDir::Files).size(), 2);
    }

    // A small file copied by the worker counts only when it is safe: while someone writes
    // its source the copy waits on its thread (the window goes on) and is made once the
    // writer is done; when its new name could not be made durable it is undone and told as
    // a write error. Nothing of a copy is left behind.
    void smallCopyOnlyWhenSafe_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("source being written") << "writer";
        QTest::newRow("folder sync fails") << "sync";
    }

    void smallCopyOnlyWhenSafe()
    {
        QFETCH(QString, fault);
        Fixture f;
        FilePerm perm;
        f.router->setFilePerm(&perm);
        FailingFolderSync calls;
        const Recipe r = recipe("a.jpg", 100, "jpg");
        f.imported(1, "one/a.jpg", r);
        FileToken writer;
        if (fault == "writer") {
            writer = perm.acquireFileSemaphore(f.path("one/a.jpg"), FilePerm::kExclusive);
        } else {
            calls.failFolder = "two";
            f.router->setFileCalls(&calls);
        }
        QVERIFY(f.put(2, "two/a.jpg", r));
        if (fault == "writer") {
            QTRY_COMPARE(f.router->inFlightCount(), 1);
            QVERIFY(ostra::test::eventLoopTurns());
            QVERIFY(f.router->hasFile(f.url("two/a.jpg")));
            QCOMPARE(QDir(f.path("two")).entryList(QDir::Files | QDir::Hidden), QStringList());
            writer.reset();
            QTRY_VERIFY(!f.router->hasFile(f.url("two/a.jpg")));
            QCOMPARE(f.source.fetches.size(), 1);
            QCOMPARE(readFile(f.path("two/a.jpg")), QByteArray(100, 'x'));
            QCOMPARE(QDir(f.path("two")).entryList(QDir::Files | QDir::Hidden), QStringList({ "a.jpg" }));
            return;
        }
        // Told as the write error it is, never as done; the file still waits.
        QTRY_COMPARE(f.router->urls(session(2), IFileSink::IOError), QList<QUrl>({ f.url("two/a.jpg") }));
        QVERIFY(f.router->hasFile(f.url("two/a.jpg")));
        QCOMPARE(QDir(f.path("two")).entryList(QDir::Files | QDir::Hidden), QStringList());
        f.router->setFileCalls(nullptr);
    }

    // A small copy whose source does not answer (its opens held) holds the copy thread,
    // not the window: the loop turns and nothing is reported; once the source answers, the
    // copy completes once, from the local file.
    void heldSmallCopyHoldsNotTheWindow()
    {
        Fixture f;
        const Recipe r = recipe("a.jpg", 100, "jpg");
        f.imported(1, "one/a.jpg", r);
        {
            ostra::test::HeldOpens held(f.path("one"));
            if (!held.isValid())
                QSKIP("holding opens needs root");
            ostra::test::RescueWatchdog watchdog([&held] { held.open(); });
            held.close();
            QVERIFY(f.put(2, "two/a.jpg", r));
            QTRY_VERIFY(held.held() >= 1);
            QVERIFY(ostra::test::eventLoopTurns());
            QVERIFY(f.router->hasFile(f.url("two/a.jpg")));
            QVERIFY(!QFileInfo::exists(f.path("two/a.jpg")));
            held.open();
            QTRY_VERIFY(!f.router->hasFile(f.url("two/a.jpg")));
            QVERIFY(watchdog.end());
        }
        QCOMPARE(f.source.fetches.size(), 1);
        QCOMPARE(readFile(f.path("two/a.jpg")), QByteArray(100, 'x'));
        QCOMPARE(QDir(f.path("two")).entryList(QDir::Files | QDir::Hidden), QStringList({ "a.jpg" }));
    }

    // The mounted volumes are read off the GUI thread and may come after the start (the
    // journal's files are put at once): until they come, no target is looked at, and none
    // is taken for one on a drive gone.
    void waitsForTheMountedVolumes()
    {
        Fixture f(false);
        QVERIFY(f.router->mounted().isEmpty());
        const Recipe r = recipe("a.vrx", 100);
        QVERIFY(f.put(1, "one/a.vrx", r));
        f.settle();
        QCOMPARE(f.source.fetches.size(), 0);
        QVERIFY(f.router->urls(session(1), IFileSink::NoDrive).isEmpty());
        QVERIFY(f.router->hasFile(f.url("one/a.vrx")));
        f.router->setMounted(QStorageInfo::mountedVolumes());
        QTRY_COMPARE(f.source.fetches.size(), 1);
        QVERIFY(f.router->urls(session(1), IFileSink::NoDrive).isEmpty());
        f.source.deliver(0);
        QTRY_VERIFY(!f.router->hasFile(f.url("one/a.vrx")));
        QCOMPARE(readFile(f.path("one/a.vrx")).size(), 100);
    }

    void oneLocalCopyPerVolume_data()
    {
        QTest::addColumn<int>("capacity"); // -1: no room, and the router goes while the copies wait
        QTest::newRow("channel has room: fetched") << 1;
        QTest::newRow("no room: queued behind the copy") << 0;
        QTest::newRow("destroyed while copies wait") << -1;
    }

    void oneLocalCopyPerVolume()
    {
        QFETCH(int, capacity);
        Fixture f;
        FilePerm perm;
        f.router->setFilePerm(&perm);
        const Recipe r = recipe("a.vrx", 4096);
        f.imported(1, "one/a.vrx", r);
        // The first copy waits for the source, which someone else writes.
        FileToken held = perm.acquireFileSemaphore(f.path("one/a.vrx"), FilePerm::kExclusive);
        QVERIFY(held);
        f.source.cap = qMax(capacity, 0);
        QVERIFY(f.put(2, "two/a.vrx", r));
        QVERIFY(f.put(2, "three/a.vrx", r));
        f.settle();
        // While the volume copies, the source fetches what it has room for; what it has
        // none for queues behind the copy on the volume's thread.
        QCOMPARE(f.router->inFlightCount(), 2);
        QCOMPARE(f.source.fetches.size(), 1 + f.source.cap);
        if (capacity < 0) {
            f.router.reset();
            QVERIFY(!QFileInfo::exists(f.path("two/a.vrx")));
            QVERIFY(!QFileInfo::exists(f.path("three/a.vrx")));
            return;
        }
        held.reset();
        if (capacity)
            f.source.deliver(1);
        QTRY_COMPARE(f.router->activityCount(), 0);
        QCOMPARE(f.source.fetches.size(), 1 + capacity);
        QCOMPARE(readFile(f.path("two/a.vrx")), readFile(f.path("three/a.vrx")));
    }

    // Cancelled while its local copies wait on the volume's thread (the first for its
    // source, which someone else holds): none of them is made, the session goes, and the
    // source is still taken for the next import.
    void cancelWithLocalCopiesQueued()
    {
        Fixture f;
        FilePerm perm;
        f.router->setFilePerm(&perm);
        const Recipe r = recipe("a.vrx", 4096);
        f.imported(1, "one/a.vrx", r);
        FileToken held = perm.acquireFileSemaphore(f.path("one/a.vrx"), FilePerm::kExclusive);
        QVERIFY(held);
        f.source.cap = 0;
        for (const char* folder : { "two", "three", "four" })
            QVERIFY(f.put(2, QString(folder) + "/a.vrx", r));
        f.settle();
        QCOMPARE(f.router->inFlightCount(), 3);
        f.router->dismiss(session(2));
        QTRY_COMPARE(f.router->inFlightCount(), 0);
        QTRY_COMPARE(f.router->sequenceCount(), 1);
        for (const char* folder : { "two", "three", "four" })
            QVERIFY(!QFileInfo::exists(f.path(QString(folder) + "/a.vrx")));
        held.reset();
        QVERIFY(f.put(3, "five/a.vrx", r));
        QTRY_COMPARE(f.router->activityCount(), 0);
        QCOMPARE(f.source.fetches.size(), 1);
        QCOMPARE(readFile(f.path("five/a.vrx")), readFile(f.path("one/a.vrx")));
    }

    void cancelWithTransferUnderWay_data()
    {
        QTest::addColumn<bool>("withdrawn");
        QTest::newRow("source withdraws it") << true;
        QTest::newRow("source finishes it") << false;
    }

    void cancelWithTransferUnderWay()
    {
        QFETCH(bool, withdrawn);
        Fixture f;
        f.source.reclaimAnswer = withdrawn;
        f.source.cap = 2;
        QVERIFY(f.put(1, "one/a.vrx", recipe("a.vrx", 10)));
        QVERIFY(f.put(1, "one/b.vrx", recipe("b.vrx", 10)));
        QTRY_COMPARE(f.source.fetches.size(), 2);
        f.source.deliver(f.url("one/b.vrx"));
        f.router->dismiss(session(1));
        QTRY_COMPARE(f.source.reclaims.size(), 1);
        QCOMPARE(f.source.reclaims.first(), f.url("one/a.vrx"));
        f.settle();
        if (!withdrawn) {
            QCOMPARE(f.router->sequenceCount(), 1);
            f.source.deliver(f.url("one/a.vrx"));
        }
        QTRY_COMPARE(f.router->sequenceCount(), 0);
        QVERIFY(!f.router->hasRequests());
        QCOMPARE(f.router->model()->rowCount(), 1);
    }

    void existingTarget_data()
    {
        QTest::addColumn<bool>("skip");
        QTest::addColumn<bool>("overwrite");
        QTest::addColumn<bool>("verified");
        QTest::addColumn<bool>("fetched");
        QTest::addColumn<int>("ticket");
        QTest::newRow("ask") << false << false << false << false << int(IFileSink::Present);
        QTest::newRow("skip") << true << false << false << false << 0;
        QTest::newRow("overwrite") << false << true << false << true << 0;
        QTest::newRow("update, same file") << true << true << true << false << 0;
        QTest::newRow("update, other file") << true << true << false << true << 0;
    }

    void existingTarget()
    {
        QFETCH(bool, skip);
        QFETCH(bool, overwrite);
        QFETCH(bool, verified);
        QFETCH(bool, fetched);
        QFETCH(int, ticket);
        Fixture f;
        f.source.verifyAnswer = verified;
        QVERIFY(writeTreeFile(f.path("one/a.vrx"), "the old picture"));
        const Recipe r = recipe("a.vrx", 10);
        QVERIFY(f.put(1, "one/a.vrx", r, Arbiter(skip, overwrite)));
        f.settle();
        QCOMPARE(f.source.fetches.size(), fetched ? 1 : 0);
        QCOMPARE(f.router->tickets()->error(), ticket);
        QCOMPARE(f.router->hasFile(f.url("one/a.vrx")), fetched || ticket);
        // The old file stays until the new one has arrived: a failed fetch keeps it.
        QCOMPARE(readFile(f.path("one/a.vrx")), QByteArray("the old picture"));
        if (fetched) {
            f.source.sink->onObstacle(f.url("one/a.vrx"), r, IFileSink::SrcLost);
            QCOMPARE(readFile(f.path("one/a.vrx")), QByteArray("the old picture"));
        }
        if (ticket) {
            // The user's answer lets the held request go on.
            f.router->setPolicy(f.router->tickets()->resolve(), false, true);
            QTRY_COMPARE(f.source.fetches.size(), 1);
            QCOMPARE(f.router->model()->index(1, 0).data(PipelineModel::ErrFlags).toInt(), 0);
        }
    }

    void freesImagesOnceVerified()
    {
        Fixture f;
        f.source.verifyAnswer = true;
        QStandardItemModel items(2, 1);
        const Recipe jpg = recipe("a.jpg", 10, "jpg");
        Recipe sibling = recipe("a.txt", 10, "txt");
        sibling.imageUuid = jpg.imageUuid;
        IHarvest* image = f.router->claimIndex("transfer", "cam1", jpg.imageUuid, items.index(0, 0));
        // Claimed but nothing imported: the source must not delete it.
        QVERIFY(!image->removable() && !image->complete());
        f.source.cap = 2;
        QVERIFY(f.put(1, "one/a.jpg", jpg));
        QVERIFY(f.put(1, "one/a.txt", sibling));
        f.router->setFree(session(1));
        QTRY_COMPARE(f.source.fetches.size(), 2);
        QVERIFY(image->active());
        f.source.deliver(0);
        f.settle();
        QVERIFY(f.source.freed.isEmpty());
        f.source.deliver(1);
        // Once the copies were checked on the worker.
        QTRY_COMPARE(f.source.freed, QList<QUuid> { jpg.imageUuid });
        QVERIFY(image->removable() && image->complete());
    }

    // The source deletes a picture only for a copy that the freeing import wrote itself
    // and that was verified, and only while that copy is still where it was put.
    void freesOnlyItsOwnVerifiedCopy_data()
    {
        QTest::addColumn<QString>("story");
        QTest::newRow("an earlier import's verified copy, since moved away") << "earlier";
        QTest::newRow("a file found in place and skipped") << "skipped";
        QTest::newRow("the verified copy removed before the last file arrived") << "removed";
        QTest::newRow("the copy renamed after its verification") << "renamed";
    }

    void freesOnlyItsOwnVerifiedCopy()
    {
        QFETCH(QString, story);
        Fixture f;
        f.source.cap = 2;
        QStandardItemModel items(1, 1);
        const Recipe raw = recipe("a.vrx", 100);
        Recipe jpg = recipe("a.jpg", 10, "jpg");
        jpg.imageUuid = raw.imageUuid;
        f.source.verifyAnswer = true; // the preview verifies at once; the raw file needs its check
        IHarvest* image = f.router->claimIndex("transfer", "cam1", raw.imageUuid, items.index(0, 0));
        if (story == "earlier") {
            // Imported and verified once (the picture is marked), then the folder renamed.
            f.imported(1, "old/a.vrx", raw);
            f.router->onVerified(f.url("old/a.vrx"), raw.imageUuid);
            QVERIFY(QDir().rename(f.path("old"), f.path("renamed")));
            QVERIFY(f.put(2, "new/a.vrx", raw));
            f.router->setFree(session(2));
            QTRY_COMPARE(f.source.fetches.size(), 2);
            QCOMPARE(f.source.fetches.last().url, f.url("new/a.vrx"));
            f.source.deliver(1);
            f.settle();
            // Fetched again and complete, but not yet checked: the camera keeps it.
            QVERIFY(f.source.freed.isEmpty());
            f.router->onVerified(f.url("new/a.vrx"), raw.imageUuid);
            QTRY_COMPARE(f.source.freed, QList<QUuid> { raw.imageUuid });
            return;
        }
        if (story == "skipped") {
            QVERIFY(writeTreeFile(f.path("new/a.vrx"), QByteArray(100, 'o')));
            QVERIFY(f.put(2, "new/a.vrx", raw, Arbiter(true, false)));
            f.router->setFree(session(2));
            QTRY_VERIFY(!f.router->hasFile(f.url("new/a.vrx")));
            f.router->onVerified(f.url("new/a.vrx"), raw.imageUuid);
            f.settle();
            QVERIFY(image->complete());
            QCOMPARE(f.source.fetches.size(), 0);
            QVERIFY(f.source.freed.isEmpty());
            return;
        }
        QVERIFY(f.put(2, "new/a.jpg", jpg));
        QVERIFY(f.put(2, "new/a.vrx", raw));
        f.router->setFree(session(2));
        QTRY_COMPARE(f.source.fetches.size(), 2);
        const int jpgFetch = f.source.fetches.at(0).url == f.url("new/a.jpg") ? 0 : 1;
        f.source.deliver(jpgFetch);
        f.source.deliver(1 - jpgFetch);
        f.settle();
        if (story == "removed")
            QVERIFY(QFile::remove(f.path("new/a.jpg")));
        else
            QVERIFY(QDir().rename(f.path("new"), f.path("moved")));
        f.router->onVerified(f.url("new/a.vrx"), raw.imageUuid);
        f.settle();
        QVERIFY(image->complete());
        QVERIFY(!image->removable());
        QVERIFY(f.source.freed.isEmpty());
    }

    // A source that fetches nothing (a camera volume, whose files are local already): a
    // file queued before its local original was listed moves once the original is.
    void fileWaitingForItsLocalOriginalMoves()
    {
        Fixture f;
        f.source.cap = 0;
        const Recipe r = recipe("a.vrx", 2048);
        QVERIFY(f.put(1, "lib/a.vrx", r));
        QVERIFY(f.put(1, "lib/b.vrx", recipe("b.vrx", 2048)));
        f.settle();
        QVERIFY(f.router->hasFile(f.url("lib/a.vrx")));
        // Listed later: the volume's own file, complete where it is.
        QVERIFY(writeTreeFile(f.path("volume/a.vrx"), QByteArray(2048, 'v')));
        QVERIFY(f.router->putRecipe(QUuid(), f.url("volume/a.vrx"), r, Arbiter(true, true)));
        f.router->onComplete(f.url("volume/a.vrx"), r);
        QTRY_COMPARE(readFile(f.path("lib/a.vrx")), QByteArray(2048, 'v'));
        QTRY_VERIFY(!f.router->hasFile(f.url("lib/a.vrx")));
        QVERIFY(f.router->hasFile(f.url("lib/b.vrx")));
        QCOMPARE(f.source.fetches.size(), 0);
        QCOMPARE(f.router->tickets()->count(), 0);
        // Every file of the volume listed: the one it lacks is lost there, and says so.
        f.router->onClaimAll("transfer", "cam1");
        f.settle();
        QCOMPARE(f.router->tickets()->count(), 1);
        QCOMPARE(f.router->tickets()->errorType(), QStringLiteral("SrcLost"));
        QCOMPARE(f.router->tickets()->current().target, f.path("lib/b.vrx"));
    }

    // The image service compresses a verified copy in place and verifies it again: the
    // picture is freed with the new size, and once.
    void copyCompressedInPlaceStillFrees()
    {
        Fixture f;
        f.source.cap = 2;
        f.source.verifyAnswer = true;
        QStandardItemModel items(1, 1);
        const Recipe raw = recipe("c.vrx", 100);
        Recipe jpg = recipe("c.jpg", 10, "jpg");
        jpg.imageUuid = raw.imageUuid;
        f.router->claimIndex("transfer", "cam1", raw.imageUuid, items.index(0, 0));
        QVERIFY(f.put(1, "one/c.vrx", raw));
        QVERIFY(f.put(1, "one/c.jpg", jpg));
        f.router->setFree(session(1));
        QTRY_COMPARE(f.source.fetches.size(), 2);
        f.source.deliver(f.url("one/c.vrx"));
        f.router->onVerified(f.url("one/c.vrx"), raw.imageUuid);
        // Smaller once compressed, and verified as such.
        QVERIFY(writeTreeFile(f.path("one/c.vrx"), QByteArray(60, 'z')));
        f.router->onVerified(f.url("one/c.vrx"), raw.imageUuid);
        f.settle();
        QVERIFY(f.source.freed.isEmpty());
        f.source.deliver(f.url("one/c.jpg"));
        QTRY_COMPARE(f.source.freed, QList<QUuid> { raw.imageUuid });
        QVERIFY(writeTreeFile(f.path("one/c.vrx"), QByteArray(50, 'y')));
        f.router->onVerified(f.url("one/c.vrx"), raw.imageUuid);
        f.settle();
        QCOMPARE(f.source.freed.size(), 1);
    }
};

OSTRA_TEST_MAIN(TestRecipeRouter)
#include "tst_reciperouter.moc"

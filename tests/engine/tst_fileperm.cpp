#include "support/testmain.h"

#include "support/rescuewatchdog.h"
#include "support/runner.h"

#include "engine/fileperm.h"

#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace {

constexpr int kLongWaitMs = 30000;

void touch(const QString& path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("x");
}

} // namespace

using ostra::test::Runner;

class TestFilePerm : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    // Many threads read and write a few files under different spellings; no writer ever
    // overlaps a reader or another writer of the same file, and every unit comes back.
    void readersAndWritersUnderThreads()
    {
        FilePerm perm;
        const int files = 3;
        QStringList paths;
        for (int i = 0; i < files; ++i) {
            paths << m_dir.path() + QString("/s%1.vrx").arg(i);
            touch(paths.last());
        }
        // Holders of each file's token at this moment.
        std::atomic<int> readers[files] {};
        std::atomic<int> writers[files] {};
        std::atomic<int> violations { 0 };
        QVERIFY(QFile::link(paths[0], m_dir.path() + "/link.vrx"));

        std::vector<std::unique_ptr<Runner>> threads;
        for (int t = 0; t < 8; ++t) {
            threads.push_back(std::make_unique<Runner>([&, t] {
                for (int i = 0; i < 400; ++i) {
                    const int f = (i + t) % files;
                    const bool write = (i * 7 + t) % 5 == 0;
                    // Alternate spellings of the same file, a link to it among them.
                    const QString path = (i % 3 == 0) ? QUrl::fromLocalFile(paths[f]).toString()
                        : (i % 3 == 1)                ? m_dir.path() + "/./" + QFileInfo(paths[f]).fileName()
                        : f == 0                      ? m_dir.path() + "/link.vrx"
                                                      : paths[f];
                    FileToken token
                        = perm.acquireFileSemaphore(path, write ? FilePerm::kExclusive : FilePerm::kShared);
                    if (!token) {
                        ++violations;
                        continue;
                    }
                    if (write) {
                        if (writers[f].fetch_add(1) != 0 || readers[f].load() != 0)
                            ++violations;
                        QThread::yieldCurrentThread();
                        if (readers[f].load() != 0)
                            ++violations;
                        writers[f].fetch_sub(1);
                    } else {
                        readers[f].fetch_add(1);
                        if (writers[f].load() != 0)
                            ++violations;
                        QThread::yieldCurrentThread();
                        readers[f].fetch_sub(1);
                    }
                }
            }));
            threads.back()->start();
        }
        for (auto& t : threads)
            QVERIFY(t->wait(120000));
        QCOMPARE(violations.load(), 0);
        for (const QString& p : paths)
            QCOMPARE(perm.available(p), FilePerm::kExclusive);
        // Every lock went with its last token, whichever thread dropped it.
        QCOMPARE(perm.lockCount(), 0);
    }

    // A file's lock lives while a token holds it or someone waits for it: the registry of a
    // process that reads thousands of files holds only the locks in use.
    void locksGoWithTheirLastToken()
    {
        FilePerm perm;
        const QString a = m_dir.filePath("a.vrx");
        touch(a);
        FileToken first = perm.acquireFileSemaphore(a, FilePerm::kShared);
        FileToken second = perm.acquireFileSemaphore(QUrl::fromLocalFile(a), FilePerm::kShared);
        QVERIFY(first && second);
        QCOMPARE(perm.lockCount(), 1);
        first.reset();
        QCOMPARE(perm.lockCount(), 1);
        QCOMPARE(perm.available(a), FilePerm::kExclusive - 1);
        second.reset();
        QCOMPARE(perm.lockCount(), 0);
        // Asking how free a file is makes no lock.
        QCOMPARE(perm.available(a), FilePerm::kExclusive);
        QCOMPARE(perm.lockCount(), 0);

        // A wait that gave up leaves nothing once the holder is gone too.
        FileToken writer = perm.acquireFileSemaphore(a, FilePerm::kExclusive);
        QVERIFY(!perm.tryAcquireFileSemaphore(a, FilePerm::kShared, 10));
        std::atomic<bool> stop { true };
        QVERIFY(!perm.acquireUnlessStopped(
            QUrl::fromLocalFile(a), FilePerm::kShared, [&] { return stop.load(); }, 1));
        QCOMPARE(perm.lockCount(), 1);
        writer.reset();
        QCOMPARE(perm.lockCount(), 0);

        // Thousands of files read from several threads, as indexing does.
        const int files = 2000;
        std::vector<std::unique_ptr<Runner>> threads;
        for (int t = 0; t < 4; ++t) {
            threads.push_back(std::make_unique<Runner>([&, t] {
                for (int i = t; i < files; i += 4) {
                    const QString path = m_dir.filePath(QString("many%1.vrx").arg(i));
                    FileToken token
                        = perm.acquireFileSemaphore(path, i % 7 ? FilePerm::kShared : FilePerm::kExclusive);
                    if (!token)
                        return;
                }
            }));
            threads.back()->start();
        }
        for (auto& t : threads)
            QVERIFY(t->wait(120000));
        QCOMPARE(perm.lockCount(), 0);

        // A token may outlive the registry; dropping it then touches nothing that went.
        auto registry = std::make_unique<FilePerm>();
        FileToken late = registry->acquireFileSemaphore(a, FilePerm::kExclusive);
        QVERIFY(late);
        registry.reset();
        late.reset();
    }

    // A request made on the GUI thread never waits for a drive that does not answer: the
    // file's key is looked for on a thread of its own, the request reports the file busy
    // after a short wait, asking again does not wait nor look twice, and keyResolved
    // tells when the key is in. Found then, the key is the one worker threads use, so a
    // link to the file meets the file's own lock. A registry that goes while a lookup
    // hangs hears nothing of it.
    void guiRequestsDoNotWaitForAHungDrive()
    {
        const QString real = m_dir.filePath("real.vrx");
        touch(real);
        const QString link = m_dir.filePath("hung-link.vrx");
        QVERIFY(QFile::link(real, link));

        // The drive: lookups of names that say "hung" wait at its gate while it is closed.
        struct Drive
        {
            std::mutex mutex;
            std::condition_variable opened;
            bool closed = true;
            std::atomic<int> held { 0 };
            void open()
            {
                std::lock_guard<std::mutex> lock(mutex);
                closed = false;
                opened.notify_all();
            }
        };
        auto drive = std::make_shared<Drive>();
        const auto keyFunction = [drive](const QString& pathOrUrl) {
            if (pathOrUrl.contains(QLatin1String("hung"))) {
                std::unique_lock<std::mutex> lock(drive->mutex);
                ++drive->held;
                drive->opened.wait(lock, [&] { return !drive->closed; });
                --drive->held;
            }
            return FilePerm::lockKey(pathOrUrl);
        };
        ostra::test::RescueWatchdog watchdog([drive] { drive->open(); });

        FilePerm perm;
        perm.setKeyFunction(keyFunction);
        perm.setGuiKeyWait(50);
        QSignalSpy resolved(&perm, &FilePerm::keyResolved);
        // A file on a drive that answers is locked as before.
        QVERIFY(perm.tryAcquireFileSemaphore(real, FilePerm::kShared, 0));
        QCOMPARE(perm.keyLookups(), 0);

        // Held by a worker thread under the file's own name.
        FileToken writer;
        Runner holder([&] { writer = perm.acquireFileSemaphore(real, FilePerm::kExclusive); });
        holder.start();
        QVERIFY(holder.wait(10000));
        QVERIFY(writer);

        QVERIFY(!perm.acquireFileSemaphore(link, FilePerm::kShared));
        QTRY_COMPARE(drive->held.load(), 1);
        QCOMPARE(perm.keyLookups(), 1);
        for (int i = 0; i < 3; ++i)
            QVERIFY(!perm.tryAcquireFileSemaphore(link, FilePerm::kShared, 0));
        QCOMPARE(perm.keyLookups(), 1);
        QCOMPARE(drive->held.load(), 1);
        int turned = 0;
        QMetaObject::invokeMethod(
            this, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        QVERIFY(resolved.isEmpty());

        // Only so many lookups hang at once; a file asked for beyond them is busy at once.
        QStringList more;
        for (int i = 1; i < FilePerm::kMaxKeyLookups + 3; ++i)
            more << m_dir.filePath(QString("hung%1.vrx").arg(i));
        for (const QString& path : qAsConst(more))
            QVERIFY(!perm.tryAcquireFileSemaphore(path, FilePerm::kShared, 0));
        QCOMPARE(perm.keyLookups(), FilePerm::kMaxKeyLookups);
        QTRY_COMPARE(drive->held.load(), FilePerm::kMaxKeyLookups);

        // A registry that goes while its lookup hangs.
        auto other = std::make_unique<FilePerm>();
        other->setKeyFunction(keyFunction);
        other->setGuiKeyWait(0);
        QVERIFY(!other->tryAcquireFileSemaphore(m_dir.filePath("hung-other.vrx"), FilePerm::kShared, 0));
        other.reset();

        drive->open();
        QVERIFY(watchdog.end());
        // Every lookup that was given up on tells, once its key is in.
        QTRY_COMPARE(resolved.count(), FilePerm::kMaxKeyLookups);
        QVERIFY(std::any_of(resolved.cbegin(), resolved.cend(),
            [&](const QList<QVariant>& args) { return args.at(0).toString() == link; }));
        for (const auto& args : qAsConst(resolved))
            QCOMPARE(args.at(1).toString(), FilePerm::lockKey(args.at(0).toString()));
        QTRY_COMPARE(perm.keyLookups(), 0);
        QTRY_COMPARE(drive->held.load(), 0);

        // The key is in (or, asked for again, found well within the wait now allowed): the
        // link meets the worker's exclusive hold of the file itself.
        perm.setGuiKeyWait(kLongWaitMs);
        QVERIFY(!perm.tryAcquireFileSemaphore(link, FilePerm::kShared, 0));
        writer.reset();
        FileToken reader = perm.tryAcquireFileSemaphore(link, FilePerm::kShared, 0);
        QVERIFY(reader);
        QCOMPARE(perm.available(real), FilePerm::kExclusive - 1);
    }

private:
    QTemporaryDir m_dir;
};

OSTRA_TEST_MAIN_CORE(TestFilePerm)
#include "tst_fileperm.moc"

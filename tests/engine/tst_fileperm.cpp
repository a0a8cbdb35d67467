#include "support/testmain.h"

#include "support/runner.h"

#include "engine/fileperm.h"

#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <functional>
#include <vector>

namespace {

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

private:
    QTemporaryDir m_dir;
};

OSTRA_TEST_MAIN_CORE(TestFilePerm)
#include "tst_fileperm.moc"

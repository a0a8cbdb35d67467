#include "support/childprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "engine/fileperm.h"
#include "pipeline/filecopy.h"
#include "platform/ifilecalls.h"

namespace {

// The real calls, written down in order, with one failure or one meddling the test asks for.
class WatchedCalls : public IFileCalls
{
public:
    QStringList events;
    int failWith = 0; // errno of the first data call
    std::function<void()> onFirstData;
    QString target;

    void data(const char* name)
    {
        if (events.isEmpty() || events.last() != name)
            events << name;
        if (onFirstData) {
            auto hook = std::move(onFirstData);
            onFirstData = nullptr;
            hook();
        }
    }
    ssize_t copyFileRange(int in, int out, size_t length) override
    {
        data("data");
        if (failWith) {
            errno = failWith;
            return -1;
        }
        return systemFileCalls().copyFileRange(in, out, length);
    }
    ssize_t read(int fd, void* buffer, size_t length) override
    {
        return systemFileCalls().read(fd, buffer, length);
    }
    ssize_t write(int fd, const void* buffer, size_t length) override
    {
        data("data");
        return systemFileCalls().write(fd, buffer, length);
    }
    int fsync(int fd) override
    {
        // The file is synced before it gets its name.
        events << (QFileInfo::exists(target) ? "fsync named" : "fsync");
        return systemFileCalls().fsync(fd);
    }
    int renameNoReplace(const char* from, const char* to) override
    {
        events << "rename " + QFileInfo(QFile::decodeName(from)).fileName() + " "
                + QFileInfo(QFile::decodeName(to)).fileName();
        return IFileCalls::renameNoReplace(from, to);
    }
    int syncFolder(const char* folder) override
    {
        events << "sync folder " + QFileInfo(QFile::decodeName(folder)).fileName();
        return IFileCalls::syncFolder(folder);
    }
};

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What one worker said, in order.
struct Outcome
{
    QStringList signals_;
    bool success = false;
};

FileCopy* worker(const QString& source, const QString& target, const QString& appendix = QString())
{
    auto* copy = new FileCopy;
    const QFileInfo info(source);
    copy->source = source;
    copy->size = info.size();
    copy->modified = info.lastModified();
    copy->target = target;
    copy->volume = Volume("/", "dev");
    copy->recipe.provider = QStringLiteral("transfer");
    copy->setTwoStage(appendix);
    return copy;
}

Outcome watch(FileCopy* copy, QStringList* shared = nullptr)
{
    auto outcome = std::make_shared<Outcome>();
    QObject::connect(copy, &FileCopy::onFailed, [=](QString) { outcome->signals_ << "failed"; });
    QObject::connect(copy, &FileCopy::onObstacle, [=](QUrl, Recipe, IFileSink::Error e) {
        outcome->signals_ << QStringLiteral("obstacle %1").arg(int(e));
    });
    QObject::connect(copy, &FileCopy::onCopied, [=](QString, Recipe, Volume, bool ok) {
        outcome->signals_ << "copied";
        outcome->success = ok;
        if (shared)
            *shared << "reported";
    });
    copy->copy();
    return *outcome;
}

const QByteArray kContent = QByteArray(300000, 'x') + "end";

// In a private mount namespace: a tiny tmpfs that fills up, then turns read-only.
int childMain(const QString& mode, const QStringList& args)
{
    if (mode != QLatin1String("tmpfs") || args.size() != 2)
        return 2;
    const QString mounted = args.at(0);
    const QString big = args.at(1);
    auto run = [](const QString& cmd) { return QProcess::execute(QStringLiteral("sh"), { "-c", cmd }); };
    if (run(QStringLiteral("mount -t tmpfs -o size=256k ostra-full '%1'").arg(mounted)) != 0)
        return 77;
    int failures = 0;
    auto expect = [&](bool ok, const char* what) {
        if (!ok) {
            fprintf(stderr, "FAILED: %s\n", what);
            ++failures;
        }
    };
    const QString target = mounted + QStringLiteral("/big.vrx");
    Outcome full = watch(worker(big, target, QStringLiteral(".transfer")));
    expect(
        full.signals_ == QStringList({ "obstacle 16", "copied" }) && !full.success, "full disk is NoSpace");
    expect(QDir(mounted).entryList(QDir::Files | QDir::Hidden).isEmpty(), "nothing left on the full disk");

    const QString small = big + QStringLiteral(".small");
    writeFile(small, "small file");
    Outcome fits = watch(worker(small, mounted + QStringLiteral("/small.vrx"), QStringLiteral(".transfer")));
    expect(
        fits.success && readFile(mounted + QStringLiteral("/small.vrx")) == "small file", "space comes back");

    expect(run(QStringLiteral("mount -o remount,ro '%1'").arg(mounted)) == 0, "remount read-only");
    Outcome readOnly
        = watch(worker(small, mounted + QStringLiteral("/again.vrx"), QStringLiteral(".transfer")));
    expect(readOnly.signals_ == QStringList({ "obstacle 64", "copied" }), "read-only is NoWrite");
    return failures == 0 ? 0 : 1;
}

} // namespace

class TestFileCopy : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString m_source;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        for (const QString& name : QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden))
            QFile::remove(path(name));
        m_source = path(QStringLiteral("source.vrx"));
        QVERIFY(writeFile(m_source, kContent));
    }

    void goesThroughAFreeTransferName_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("appendix");
        QTest::addColumn<QString>("rename");
        QTest::newRow("direct") << QStringList() << QString() << QString();
        QTest::newRow("transfer") << QStringList() << ".transfer"
                                  << "rename t.vrx.transfer t.vrx";
        QTest::newRow("both taken") << QStringList { "t.vrx.transfer", "t.vrx.transfer0" } << ".transfer"
                                    << "rename t.vrx.transfer1 t.vrx";
    }

    void goesThroughAFreeTransferName()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, appendix);
        QFETCH(QString, rename);
        for (const QString& name : existing)
            QVERIFY(writeFile(path(name), "someone else's"));
        WatchedCalls calls;
        calls.target = path("t.vrx");
        FileCopy* copy = worker(m_source, calls.target, appendix);
        copy->calls = &calls;
        Outcome outcome = watch(copy, &calls.events);
        QVERIFY(outcome.success);
        QCOMPARE(readFile(calls.target), kContent);
        // Written, synced under the work name, renamed without replacing, folder synced, reported.
        QStringList order { "data", rename.isEmpty() ? "fsync named" : "fsync" };
        if (!rename.isEmpty())
            order << rename;
        order << "sync folder " + QFileInfo(m_dir.path()).fileName() << "reported";
        QCOMPARE(calls.events, order);
        for (const QString& name : existing)
            QCOMPARE(readFile(path(name)), QByteArray("someone else's"));
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files).size(), 2 + existing.size());
    }

    void directCopyNeverOverwrites()
    {
        QVERIFY(writeFile(path("t.vrx"), "keep"));
        Outcome outcome = watch(worker(m_source, path("t.vrx")));
        QCOMPARE(outcome.signals_, QStringList { "copied" });
        QVERIFY(!outcome.success);
        QCOMPARE(readFile(path("t.vrx")), QByteArray("keep"));
    }

    void failedWriteSaysWhyAndLeavesNothing_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<QStringList>("signals_");
        QTest::newRow("disk full") << int(ENOSPC) << QStringList { "obstacle 16", "copied" };
        QTest::newRow("quota") << int(EDQUOT) << QStringList { "obstacle 16", "copied" };
        QTest::newRow("read-only") << int(EROFS) << QStringList { "obstacle 64", "copied" };
        QTest::newRow("denied") << int(EACCES) << QStringList { "obstacle 64", "copied" };
        QTest::newRow("i/o error") << int(EIO) << QStringList { "obstacle 256", "copied" };
        QTest::newRow("unknown") << int(ENOMEM) << QStringList { "copied" };
    }

    void failedWriteSaysWhyAndLeavesNothing()
    {
        QFETCH(int, error);
        QFETCH(QStringList, signals_);
        WatchedCalls calls;
        calls.failWith = error;
        calls.target = path("t.vrx");
        FileCopy* copy = worker(m_source, calls.target, ".transfer");
        copy->calls = &calls;
        Outcome outcome = watch(copy);
        QCOMPARE(outcome.signals_, signals_);
        QVERIFY(!outcome.success);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList { "source.vrx" });
    }

    void sourceNoLongerTheRecordedFile_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("midCopy");
        for (bool mid : { false, true }) {
            const char* when = mid ? "mid-copy" : "before";
            QTest::addRow("touched %s", when) << "touch" << mid;
            QTest::addRow("grown %s", when) << "grow" << mid;
            QTest::addRow("removed %s", when) << "remove" << mid;
        }
        QTest::newRow("refused by the provider") << "refuse" << false;
    }

    void sourceNoLongerTheRecordedFile()
    {
        QFETCH(QString, change);
        QFETCH(bool, midCopy);
        const QString source = m_source;
        auto meddle = [=] {
            if (change == "touch") {
                QFile file(source);
                file.open(QIODevice::ReadWrite);
                file.setFileTime(
                    QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime);
            } else if (change == "grow") {
                QFile file(source);
                file.open(QIODevice::Append);
                file.write("more");
            } else if (change == "remove") {
                QFile::remove(source);
            }
        };
        WatchedCalls calls;
        calls.target = path("t.vrx");
        FileCopy* copy = worker(m_source, calls.target, ".transfer");
        copy->calls = &calls;
        copy->validator = [&](const QUrl& url, const Recipe&) {
            return change != "refuse" && url == QUrl::fromLocalFile(source);
        };
        if (midCopy)
            calls.onFirstData = meddle;
        else
            meddle();
        Outcome outcome = watch(copy);
        QCOMPARE(outcome.signals_, (QStringList { "failed", "copied" }));
        QVERIFY(!outcome.success);
        QVERIFY(!QFileInfo::exists(calls.target));
        QVERIFY(!QFileInfo::exists(calls.target + ".transfer"));
    }

    void viewersKeepTheSourceAndAStopEndsTheWait()
    {
        FilePerm perm;
        QThread thread;
        thread.start();
        // A viewer holds the source: the copy reads beside it.
        FileToken viewer = perm.acquireFileSemaphore(m_source, FilePerm::kShared);
        FileCopy* first = worker(m_source, path("a.vrx"), ".transfer");
        first->filePerm = &perm;
        QSignalSpy firstDone(first, &FileCopy::onCopied);
        first->moveToThread(&thread);
        QMetaObject::invokeMethod(first, "copy", Qt::QueuedConnection);
        QVERIFY(firstDone.wait(10000));
        QVERIFY(firstDone.first().at(3).toBool());

        // The copy thread lowered its own priorities.
        int nice = 0;
        long ioprio = 0;
        auto* probe = new QObject;
        probe->moveToThread(&thread);
        QMetaObject::invokeMethod(
            probe,
            [&] {
                const long tid = ::syscall(SYS_gettid);
                nice = ::getpriority(PRIO_PROCESS, id_t(tid));
                ioprio = ::syscall(SYS_ioprio_get, 1, int(tid));
            },
            Qt::BlockingQueuedConnection);
        QCOMPARE(nice, 10);
        QCOMPARE(ioprio, long((2 << 13) | 7));

        // Someone holds the target: the copy waits, and gives up when stopped.
        FileToken writer = perm.acquireFileSemaphore(path("b.vrx"), FilePerm::kExclusive);
        FileCopy* second = worker(m_source, path("b.vrx"), ".transfer");
        second->filePerm = &perm;
        second->stop = std::make_shared<std::atomic<bool>>(false);
        auto stop = second->stop;
        QPointer<FileCopy> alive(second);
        QSignalSpy secondDone(second, &FileCopy::onCopied);
        second->moveToThread(&thread);
        QMetaObject::invokeMethod(second, "copy", Qt::QueuedConnection);
        QVERIFY(!secondDone.wait(300));
        stop->store(true);
        QVERIFY(secondDone.wait(10000));
        QVERIFY(!secondDone.first().at(3).toBool());
        QTRY_VERIFY(!alive);
        QVERIFY(!QFileInfo::exists(path("b.vrx")));
        QVERIFY(!QFileInfo::exists(path("b.vrx.transfer")));
        probe->deleteLater();
        thread.quit();
        thread.wait();
    }

    void fullAndReadOnlyRealDisk()
    {
        const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
        if (::geteuid() != 0 || unshare.isEmpty())
            QSKIP("needs root and unshare to mount a small tmpfs");
        const QString mountPoint = path(QStringLiteral("tiny"));
        QVERIFY(QDir().mkpath(mountPoint));
        const QString big = path(QStringLiteral("big.bin"));
        QVERIFY(writeFile(big, QByteArray(1024 * 1024, 'b')));
        ostra::test::Child child(unshare,
            { "-m", "--propagation", "private", QCoreApplication::applicationFilePath(), "--child", "tmpfs",
                mountPoint, big });
        QVERIFY(child.finish());
        if (child.exitCode() == 77)
            QSKIP("cannot mount a tmpfs here");
        QVERIFY2(child.exitCode() == 0, child.err().constData());
        QVERIFY(QDir(mountPoint).isEmpty());
    }
};

OSTRA_TEST_MAIN_WITH_CHILD(QCoreApplication, TestFileCopy, childMain)
#include "tst_filecopy.moc"

#include "support/filetree.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <unistd.h>

#include "engine/fileperm.h"
#include "pipeline/copygroup.h"
#include "pipeline/filecopy.h"
#include "platform/ifilecalls.h"
#include "routerfixture.h"

namespace {

using routertest::readFile;

// The real calls, written down in order, with one failure or one meddling the test asks for.
class WatchedCalls : public IFileCalls
{
public:
    QStringList events;
    int failWith = 0; // errno of the first data call
    QString failFolder; // name of a folder whose sync fails with EIO
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
        const QString name = QFileInfo(QFile::decodeName(folder)).fileName();
        events << "sync folder " + name;
        if (name == failFolder) {
            errno = EIO;
            return -1;
        }
        return IFileCalls::syncFolder(folder);
    }
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

// What one worker said, in order; `shared` also hears when the copy was reported.
QStringList watch(FileCopy* copy, QStringList* shared = nullptr)
{
    auto said = std::make_shared<QStringList>();
    QObject::connect(copy, &FileCopy::onFailed, [=](QString) { *said << "failed"; });
    QObject::connect(copy, &FileCopy::onObstacle,
        [=](QUrl, Recipe, IFileSink::Error e) { *said << QStringLiteral("obstacle %1").arg(int(e)); });
    QObject::connect(copy, &FileCopy::onCopied, [=](QString, Recipe, Volume, bool ok) {
        *said << (ok ? "copied" : "not copied");
        if (shared)
            *shared << "reported";
    });
    copy->copy();
    return *said;
}

const QByteArray kContent = QByteArray(300000, 'x') + "end";

} // namespace

class TestFileCopy : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString m_source;

private slots:
    void initTestCase()
    {
        // The copies' outcomes are queued to the test's thread.
        qRegisterMetaType<Recipe>();
        qRegisterMetaType<Volume>();
    }

    void init()
    {
        for (const QString& name : QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden))
            QFile::remove(path(name));
        m_source = path(QStringLiteral("source.vrx"));
        QVERIFY(ostra::test::writeTreeFile(m_source, kContent));
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
            QVERIFY(ostra::test::writeTreeFile(path(name), "someone else's"));
        WatchedCalls calls;
        calls.target = path("t.vrx");
        FileCopy* copy = worker(m_source, calls.target, appendix);
        copy->calls = &calls;
        QCOMPARE(watch(copy, &calls.events), QStringList { "copied" });
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
        QVERIFY(ostra::test::writeTreeFile(path("t.vrx"), "keep"));
        QCOMPARE(watch(worker(m_source, path("t.vrx"))), QStringList { "not copied" });
        QCOMPARE(readFile(path("t.vrx")), QByteArray("keep"));
    }

    void failedWriteSaysWhyAndLeavesNothing_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("obstacle"); // 0: none
        QTest::newRow("disk full") << int(ENOSPC) << 16;
        QTest::newRow("read-only") << int(EROFS) << 64;
        QTest::newRow("i/o error") << int(EIO) << 256;
        QTest::newRow("unknown") << int(ENOMEM) << 0;
    }

    void failedWriteSaysWhyAndLeavesNothing()
    {
        QFETCH(int, error);
        QFETCH(int, obstacle);
        QStringList signals_ { "not copied" };
        if (obstacle)
            signals_.prepend(QStringLiteral("obstacle %1").arg(obstacle));
        WatchedCalls calls;
        calls.failWith = error;
        calls.target = path("t.vrx");
        FileCopy* copy = worker(m_source, calls.target, ".transfer");
        copy->calls = &calls;
        QCOMPARE(watch(copy), signals_);
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
            QFile file(source);
            if (change == "touch" && file.open(QIODevice::ReadWrite))
                file.setFileTime(
                    QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime);
            else if (change == "grow" && file.open(QIODevice::Append))
                file.write("more");
            else if (change == "remove")
                file.remove();
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
        QCOMPARE(watch(copy), (QStringList { "failed", "not copied" }));
        QVERIFY(!QFileInfo::exists(calls.target));
        QVERIFY(!QFileInfo::exists(calls.target + ".transfer"));
    }

    // Copies handed to a group one after the other: each is written, synced and renamed,
    // then every folder that received one is synced once, and only then are they reported,
    // all in one signal. A failed folder sync fails every copy into that folder.
    void groupSyncsEachFolderOnceBeforeItReports_data()
    {
        QTest::addColumn<QStringList>("targets"); // folder/name
        QTest::addColumn<QString>("failFolder");
        QTest::newRow("one folder") << QStringList { "a/1.vrx", "a/2.vrx", "a/3.vrx" } << QString();
        QTest::newRow("two folders") << QStringList { "a/1.vrx", "b/2.vrx", "a/3.vrx", "b/4.vrx" }
                                     << QString();
        QTest::newRow("a folder's sync fails") << QStringList { "a/1.vrx", "b/2.vrx", "a/3.vrx" } << "a";
    }

    void groupSyncsEachFolderOnceBeforeItReports()
    {
        QFETCH(QStringList, targets);
        QFETCH(QString, failFolder);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("a") && QDir(dir.path()).mkpath("b"));
        WatchedCalls calls;
        calls.failFolder = failFolder;
        CopyGroup group;
        group.maxAgeMs = 3600000; // one group however slow the machine
        QVector<CopyOutcome> outcomes;
        int reports = 0;
        connect(&group, &CopyGroup::settled, [&](QVector<CopyOutcome> settled) {
            outcomes = settled;
            ++reports;
            calls.events << "reported";
        });
        QStringList obstacles;
        for (const QString& name : targets) {
            FileCopy* copy = worker(m_source, dir.filePath(name), ".transfer");
            copy->calls = &calls;
            connect(copy, &FileCopy::onObstacle, [&obstacles, name](QUrl, Recipe, IFileSink::Error e) {
                obstacles << QStringLiteral("%1 %2").arg(name).arg(int(e));
            });
            group.take(copy);
        }
        QTRY_COMPARE(reports, 1);

        QStringList expected;
        QStringList folders;
        for (const QString& name : targets) {
            const QString file = QFileInfo(name).fileName();
            expected << "data"
                     << "fsync"
                     << "rename " + file + ".transfer " + file;
            if (!folders.contains(QFileInfo(name).path()))
                folders << QFileInfo(name).path();
        }
        for (const QString& folder : qAsConst(folders))
            expected << "sync folder " + folder;
        expected << "reported";
        QCOMPARE(calls.events, expected);

        QCOMPARE(outcomes.size(), targets.size());
        QStringList expectedObstacles;
        for (int i = 0; i < targets.size(); ++i) {
            const bool failed = QFileInfo(targets.at(i)).path() == failFolder;
            QCOMPARE(outcomes.at(i).target, dir.filePath(targets.at(i)));
            QCOMPARE(outcomes.at(i).success, !failed);
            // A copy that failed is gone, under its name and under its work name.
            QCOMPARE(readFile(dir.filePath(targets.at(i))), failed ? QByteArray() : kContent);
            QVERIFY(!QFileInfo::exists(dir.filePath(targets.at(i)) + ".transfer"));
            if (failed)
                expectedObstacles << targets.at(i) + " 256";
        }
        QCOMPARE(obstacles, expectedObstacles);
    }

    // Copies handed over while a group is being placed join it; a copy handed over after
    // the group was reported starts the next.
    void laterCopyStartsTheNextGroup()
    {
        QTemporaryDir dir;
        QThread thread;
        thread.start();
        CopyGroup group;
        group.maxAgeMs = 3600000;
        group.moveToThread(&thread);
        // Reported on the group's thread, taken here (a spy would be filled on that thread
        // while this one reads it).
        QVector<QVector<CopyOutcome>> settled;
        QObject taker; // goes first: nothing queued to it runs once the test is over
        connect(&group, &CopyGroup::settled, &taker,
            [&settled](const QVector<CopyOutcome>& outcomes) { settled.append(outcomes); });
        auto hand = [&](const QString& name) {
            FileCopy* copy = worker(m_source, dir.filePath(name), ".transfer");
            copy->moveToThread(&thread);
            QMetaObject::invokeMethod(
                &group, [&group, copy] { group.take(copy); }, Qt::QueuedConnection);
        };
        // Queued at once: all three are in the thread's queue before the first is placed.
        QMetaObject::invokeMethod(
            &group, [] { QThread::msleep(50); }, Qt::QueuedConnection);
        hand("1.vrx");
        hand("2.vrx");
        hand("3.vrx");
        QTRY_VERIFY_WITH_TIMEOUT(!settled.isEmpty(), 10000);
        QCOMPARE(settled.size(), 1);
        QCOMPARE(settled.at(0).size(), 3);
        hand("4.vrx");
        QTRY_COMPARE_WITH_TIMEOUT(settled.size(), 2, 10000);
        const QVector<CopyOutcome> second = settled.at(1);
        QCOMPARE(second.size(), 1);
        QVERIFY(second.first().success);
        QCOMPARE(readFile(dir.filePath("4.vrx")), kContent);
        QMetaObject::invokeMethod(
            &group, [&group] { group.moveToThread(QCoreApplication::instance()->thread()); },
            Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
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
        // The outcomes are taken on this thread (a spy would be filled on the copy thread).
        QList<bool> firstDone;
        QList<bool> secondDone;
        QObject taker; // goes first: nothing queued to it runs once the test is over
        connect(first, &FileCopy::onCopied, &taker,
            [&firstDone](
                const QString&, const Recipe&, const Volume&, bool success) { firstDone << success; });
        first->moveToThread(&thread);
        QMetaObject::invokeMethod(first, "copy", Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(!firstDone.isEmpty(), 10000);
        QVERIFY(firstDone.first());

        // Someone holds the target: the copy waits, and gives up when stopped.
        FileToken writer = perm.acquireFileSemaphore(path("b.vrx"), FilePerm::kExclusive);
        FileCopy* second = worker(m_source, path("b.vrx"), ".transfer");
        second->filePerm = &perm;
        second->stop = std::make_shared<std::atomic<bool>>(false);
        auto stop = second->stop;
        QPointer<FileCopy> alive(second);
        connect(second, &FileCopy::onCopied, &taker,
            [&secondDone](
                const QString&, const Recipe&, const Volume&, bool success) { secondDone << success; });
        second->moveToThread(&thread);
        QMetaObject::invokeMethod(second, "copy", Qt::QueuedConnection);
        QTest::qWait(300);
        QVERIFY(secondDone.isEmpty());
        stop->store(true);
        QTRY_VERIFY_WITH_TIMEOUT(!secondDone.isEmpty(), 10000);
        QVERIFY(!secondDone.first());
        QTRY_VERIFY(!alive);
        QVERIFY(!QFileInfo::exists(path("b.vrx")));
        QVERIFY(!QFileInfo::exists(path("b.vrx.transfer")));
        thread.quit();
        thread.wait();
    }
};

OSTRA_TEST_MAIN_CORE(TestFileCopy)
#include "tst_filecopy.moc"

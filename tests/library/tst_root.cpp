#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "library/root.h"
#include "support/eventloopturns.h"
#include "support/filetree.h"
#include "support/heldmount.h"
#include "support/heldopens.h"
#include "support/mountnamespace.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

namespace {

constexpr int kWaitMs = 15000;

void touch(const QString& path, const QByteArray& content = "vrx")
{
    QVERIFY2(ostra::test::writeTreeFile(path, content), qPrintable(path));
}

// Replays a Root's reports into the set of files it currently announces, and notes
// any report that contradicts the set (a file announced twice, or removed unannounced).
class Recorder : public QObject
{
public:
    explicit Recorder(Root* root)
    {
        connect(root, &Root::addFile, this, [this](const QString& path) {
            if (files.contains(path))
                errors.append(QStringLiteral("added twice: ") + path);
            files.insert(path);
            added.append(path);
        });
        connect(root, &Root::delFile, this, [this](const QString& path) {
            if (!files.remove(path))
                errors.append(QStringLiteral("removed unknown: ") + path);
            removed.append(path);
        });
    }
    QSet<QString> files;
    QStringList added;
    QStringList removed;
    QStringList errors;
};

// Refuses to watch folders whose name holds "nowatch", as the system does once its
// limit on watches is reached.
class LimitedRoot : public Root
{
public:
    using Root::Root;
    int refused = 0;

protected:
    bool watchDirectory(const QString& dir) override
    {
        if (dir.contains(QLatin1String("nowatch"))) {
            ++refused;
            return false;
        }
        return Root::watchDirectory(dir);
    }
};

QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

void collectWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg)
        g_warnings.append(message);
    if (type != QtDebugMsg && g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

class TestRoot : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ostra::test::TempTree> m_tree;

    QString path(const QString& relative) const { return m_tree->path(relative); }

private slots:
    void init()
    {
        m_tree = std::make_unique<ostra::test::TempTree>();
        QVERIFY(m_tree->isValid());
    }

    void cleanup() { m_tree.reset(); }

    void namesAreMatchedExactly()
    {
        touch(path("a/IMG[1].vrx"));
        touch(path("a/IMG1.vrx"));
        Root named(nullptr, path("a"), false, false, { "IMG[1].vrx" }, true);
        QVERIFY(named.includes(path("a/IMG[1].vrx")));
        QVERIFY(!named.includes(path("a/IMG1.vrx")));
        QVERIFY(!named.includes(path("a/img[1].vrx")));
        QCOMPARE(named.listFiles(), QStringList { path("a/IMG[1].vrx") });

        Root closing(nullptr, path("a"), false, false, { "IMG[1].vrx" }, false);
        QVERIFY(closing.excludes(path("a/IMG[1].vrx")));
        QVERIFY(!closing.excludes(path("a/IMG1.vrx")));

        // Empty and repeated patterns are dropped.
        Root folder(nullptr, path("a"), false, true, { "*.vrx", "", "*.vrx" }, true);
        QCOMPARE(folder.patternList(), QStringList { "*.vrx" });
        QVERIFY(folder.includes(path("a/IMG[1].vrx")));
        QVERIFY(folder.includes(path("a/SHOUT.VRX")));
        QVERIFY(!folder.includes(path("a/x.vrx.transfer")));

        Recorder recorder(&named);
        named.setActive(true);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.files, QSet<QString> { path("a/IMG[1].vrx") }, kWaitMs);
    }

    // A folder indexed loses the output and lock file that a compression killed amid its
    // work left beside a picture (its lock names a process that is gone).
    void indexingRemovesCutOffCompressions()
    {
        touch(path("c/IMG1.vrx"));
        touch(path("c/IMG1.vrxc"));
        QFile lock(path("c/IMG1.vrxc.lock"));
        QVERIFY(lock.open(QIODevice::WriteOnly) && lock.write("2147483646\nostra\n\n") > 0);
        lock.close();
        Root folder(nullptr, path("c"), false, true, { "*.vrx" }, true);
        QCOMPARE(folder.listFiles(), QStringList { path("c/IMG1.vrx") });
        QCOMPARE(QDir(path("c")).entryList(QDir::Files | QDir::Hidden), QStringList { "IMG1.vrx" });
    }

    void liveWatching()
    {
        const QStringList initial = { "tree/x.vrx", "tree/IMG[1].vrx", "tree/100% #2.vrx",
            "tree/ünïcødé ñ.vrx", "tree/with space.vrx", "tree/sub/y.vrx", "tree/sub/SHOUT.VRX" };
        QSet<QString> expected;
        for (const QString& file : initial) {
            touch(path(file));
            expected.insert(path(file));
        }
        touch(path("tree/notes.txt"));

        Root root(nullptr, path("tree"), true, true, { "*.vrx" }, true);
        Recorder rec(&root);
        root.setActive(true);
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
        const auto create = [&](const QString& file) {
            touch(path(file));
            expected.insert(path(file));
        };

        // Create.
        create("tree/new.vrx");
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);

        // Delete.
        QVERIFY(QFile::remove(path("tree/x.vrx")));
        expected.remove(path("tree/x.vrx"));
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);

        // Rename, odd names included.
        QVERIFY(QFile::rename(path("tree/sub/y.vrx"), path("tree/sub/z #%[].vrx")));
        expected.remove(path("tree/sub/y.vrx"));
        expected.insert(path("tree/sub/z #%[].vrx"));
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);

        // A copy written under a temporary name appears once, when renamed into place.
        touch(path("tree/sub/t.vrx.transfer"), QByteArray(4096, 'x'));
        QVERIFY(QFile::rename(path("tree/sub/t.vrx.transfer"), path("tree/sub/t.vrx")));
        expected.insert(path("tree/sub/t.vrx"));
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);

        // A new subfolder, and a file in it.
        QVERIFY(QDir().mkpath(path("tree/sub/deep")));
        create("tree/sub/deep/d.vrx");
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);

        // A link back to an ancestor is not walked into.
        QVERIFY(QFile::link(path("tree"), path("tree/sub/deep/loop")));
        create("tree/after-loop.vrx");
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);

        // A link to a folder outside the tree is followed.
        touch(path("outside/o.vrx"));
        QVERIFY(QFile::link(path("outside"), path("tree/link")));
        expected.insert(path("tree/link/o.vrx"));
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);

        // A subfolder moved out takes its files out of the tree, deeper ones included.
        QVERIFY(QDir().rename(path("tree/sub"), path("moved")));
        for (auto it = expected.begin(); it != expected.end();) {
            if (it->startsWith(path("tree/sub/")))
                it = expected.erase(it);
            else
                ++it;
        }
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);

        // What happens in it now is no concern of the Root; a folder moved in is.
        touch(path("moved/late.vrx"));
        QVERIFY(QDir().rename(path("moved"), path("tree/back")));
        for (const char* file :
            { "back/SHOUT.VRX", "back/z #%[].vrx", "back/t.vrx", "back/deep/d.vrx", "back/late.vrx" })
            expected.insert(path("tree/") + QString::fromUtf8(file));
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);

        QVERIFY2(rec.errors.isEmpty(), qPrintable(rec.errors.join('\n')));
        for (const QString& added : qAsConst(rec.added)) {
            QVERIFY2(!added.endsWith(QLatin1String(".transfer")), qPrintable(added));
            QVERIFY2(!added.contains(QLatin1String("/loop/")), qPrintable(added));
            QVERIFY2(!added.endsWith(QLatin1String(".txt")), qPrintable(added));
        }

        // Off and on again: everything is announced again, nothing removed meanwhile.
        const int removedBefore = rec.removed.size();
        root.setActive(false);
        rec.files.clear();
        root.setActive(true);
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
        QCOMPARE(rec.removed.size(), removedBefore);
    }

    // A folder the watcher reports changed is read again off the GUI thread (a library on
    // a network drive that hangs): while the drive holds the read, the event loop turns
    // and nothing is announced; once it answers, what appeared is. A Root that goes while
    // a read hangs does not wait for it.
    void changedFolderIsReadOffTheGuiThread()
    {
        touch(path("lib/a.vrx"));
        touch(path("b.part"));
        ostra::test::HeldOpens drive(path("lib"));
        if (!drive.isValid())
            QSKIP("needs root to hold a folder's opens");
        {
            Root root(nullptr, path("lib"), false, true, { "*.vrx" }, true);
            Recorder rec(&root);
            root.setActive(true);
            QTRY_COMPARE_WITH_TIMEOUT(rec.added, QStringList { path("lib/a.vrx") }, kWaitMs);
            QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
            drive.close();
            // Lets the drive go should the GUI thread wait for it, so that the test fails
            // instead of hanging.
            ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
            // Moved in whole: a rename opens nothing in the folder, and the watcher tells.
            QVERIFY(QFile::rename(path("b.part"), path("lib/b.vrx")));
            QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, kWaitMs);
            int turned = 0;
            QMetaObject::invokeMethod(
                this, [&] { ++turned; }, Qt::QueuedConnection);
            QTRY_COMPARE(turned, 1);
            QVERIFY(root.isReading());
            QCOMPARE(rec.added.size(), 1);
            drive.open();
            QTRY_COMPARE_WITH_TIMEOUT(
                rec.added, QStringList({ path("lib/a.vrx"), path("lib/b.vrx") }), kWaitMs);
            QVERIFY(watchdog.end());
            QVERIFY(rec.errors.isEmpty());

            drive.close();
            QVERIFY(QFile::remove(path("lib/a.vrx")));
            QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, kWaitMs);
        }
        drive.open();
    }

    // Opening a folder on a drive that hangs: its first listing runs off the GUI thread,
    // which turns meanwhile, and nothing is announced until the drive answers. What came
    // and went while the listing was held is announced once, as the disk then stands, and
    // the folder is still followed afterwards.
    void firstListingIsReadOffTheGuiThread()
    {
        touch(path("lib/a.vrx"));
        touch(path("lib/gone.vrx"));
        touch(path("lib/sub/s.vrx"));
        touch(path("b.part"));
        ostra::test::HeldOpens drive(path("lib"));
        if (!drive.isValid())
            QSKIP("needs root to hold a folder's opens");
        Root root(nullptr, path("lib"), true, true, { "*.vrx" }, true);
        Recorder rec(&root);
        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        root.setActive(true);
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, kWaitMs);
        int turned = 0;
        QMetaObject::invokeMethod(
            this, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        QVERIFY(root.isReading());
        QVERIFY(rec.added.isEmpty());
        // While the drive holds the listing: a file moved in, one removed, one written in
        // the subfolder (which the drive does not hold).
        QVERIFY(QFile::rename(path("b.part"), path("lib/b.vrx")));
        QVERIFY(QFile::remove(path("lib/gone.vrx")));
        touch(path("lib/sub/t.vrx"));
        drive.open();
        const QSet<QString> expected
            = { path("lib/a.vrx"), path("lib/b.vrx"), path("lib/sub/s.vrx"), path("lib/sub/t.vrx") };
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, expected, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
        QVERIFY(watchdog.end());
        QVERIFY2(rec.errors.isEmpty(), qPrintable(rec.errors.join('\n')));
        QCOMPARE(rec.added.size(), expected.size());
        QVERIFY(rec.removed.isEmpty());
        // Both folders were watched before they were read.
        touch(path("lib/sub/u.vrx"));
        QTRY_VERIFY_WITH_TIMEOUT(rec.files.contains(path("lib/sub/u.vrx")), kWaitMs);
        QVERIFY(QFile::remove(path("lib/a.vrx")));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.files.contains(path("lib/a.vrx")), kWaitMs);
        QVERIFY2(rec.errors.isEmpty(), qPrintable(rec.errors.join('\n')));
    }

    // A Root stopped, stopped and started again, or deleted while its first listing is
    // held: the late answer is dropped, and a Root started again announces its files once.
    void stoppedWhileTheFirstListingIsHeld_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("stopped") << 0;
        QTest::newRow("stopped and started again") << 1;
        QTest::newRow("deleted") << 2;
    }

    void stoppedWhileTheFirstListingIsHeld()
    {
        QFETCH(int, how);
        touch(path("lib/a.vrx"));
        touch(path("lib/b.vrx"));
        ostra::test::HeldOpens drive(path("lib"));
        if (!drive.isValid())
            QSKIP("needs root to hold a folder's opens");
        auto root = std::make_unique<Root>(nullptr, path("lib"), false, true, QStringList { "*.vrx" }, true);
        Recorder rec(root.get());
        QPointer<QObject> gone(root.get());
        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        root->setActive(true);
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, kWaitMs);
        if (how == 2) {
            root.reset(); // does not wait for the drive
        } else {
            root->setActive(false);
            QVERIFY(!root->isReading());
            if (how == 1) {
                root->setActive(true);
                QVERIFY(root->isReading());
            }
        }
        QVERIFY(watchdog.end());
        const int passed = drive.passed();
        drive.open();
        QTRY_VERIFY_WITH_TIMEOUT(drive.passed() > passed, kWaitMs);
        if (root) {
            // A listing asked for now runs after the held one on the Root's thread, so
            // whatever the held one posted has arrived once this is in.
            QSignalSpy listed(root.get(), &Root::listed);
            root->requestList();
            QTRY_COMPARE_WITH_TIMEOUT(listed.count(), 1, kWaitMs);
            QTRY_VERIFY_WITH_TIMEOUT(!root->isReading(), kWaitMs);
        } else {
            QVERIFY(gone.isNull());
            QCoreApplication::sendPostedEvents();
        }
        QVERIFY2(rec.errors.isEmpty(), qPrintable(rec.errors.join('\n')));
        if (how == 1)
            QCOMPARE(rec.files, (QSet<QString> { path("lib/a.vrx"), path("lib/b.vrx") }));
        else
            QVERIFY(rec.added.isEmpty());
    }

    // A folder of many files is announced a slice at a time, so that the GUI thread turns
    // in between: as it comes and as it goes. Stopped amid the slices (by a listener of
    // the announcements themselves), the Root announces nothing more.
    void manyFilesAreAnnouncedInSlices()
    {
        const int count = 3 * Root::kAnnounceSlice + 17;
        const auto makeFiles = [&] {
            for (int i = 0; i < count; ++i)
                touch(path(QString("many/IMG_%1.vrx").arg(i, 5, 10, QChar('0'))), QByteArray());
        };
        makeFiles();
        Root root(nullptr, path("many"), false, true, { "*.vrx" }, true);
        Recorder rec(&root);
        int sinceTurn = 0, most = 0, turns = 0;
        const auto count1 = [&] { most = qMax(most, ++sinceTurn); };
        connect(&root, &Root::addFile, this, count1);
        connect(&root, &Root::delFile, this, count1);
        QTimer ticker;
        ticker.setInterval(0);
        connect(&ticker, &QTimer::timeout, this, [&] {
            sinceTurn = 0;
            ++turns;
        });
        ticker.start();

        root.setActive(true);
        QTRY_COMPARE_WITH_TIMEOUT(rec.files.size(), count, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
        QVERIFY2(most <= Root::kAnnounceSlice, qPrintable(QString::number(most)));
        QVERIFY(turns >= 4);

        most = 0;
        QVERIFY(QDir(path("many")).removeRecursively());
        QTRY_VERIFY_WITH_TIMEOUT(rec.files.isEmpty(), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
        QVERIFY2(most <= Root::kAnnounceSlice, qPrintable(QString::number(most)));
        QVERIFY2(rec.errors.isEmpty(), qPrintable(rec.errors.join('\n')));

        makeFiles();
        Root again(nullptr, path("many"), false, true, { "*.vrx" }, true);
        Recorder late(&again);
        const int stopAt = Root::kAnnounceSlice + Root::kAnnounceSlice / 2;
        connect(&again, &Root::addFile, this, [&] {
            if (late.added.size() == stopAt)
                again.setActive(false);
        });
        again.setActive(true);
        QTRY_COMPARE_WITH_TIMEOUT(late.added.size(), stopAt, kWaitMs);
        QVERIFY(!again.isReading());
        const int turnsBefore = turns;
        QTRY_VERIFY(turns > turnsBefore + 2);
        QCOMPARE(late.added.size(), stopAt);
    }

    // A name that is not valid UTF-8 has no text that leads back to it: such files are
    // left out, never announced under a path that names another file or none (where two
    // such names would also read alike). A name holding the replacement character itself
    // is a name like any other.
    void namesThatAreNotUtf8AreLeftOut()
    {
        touch(path("odd/plain.vrx"));
        touch(path("odd/real \uFFFD.vrx"));
        QList<QByteArray> raw;
        for (const char* name : { "odd/bad\xff.vrx", "odd/bad\xfe.vrx", "odd/lone\xc3.vrx" })
            raw << QFile::encodeName(m_tree->path("")) + name;
        // Removed by name here: the temporary folder cannot name them to remove them.
        const auto removeRaw = qScopeGuard([&] {
            for (const QByteArray& name : qAsConst(raw))
                ::unlink(name.constData());
        });
        for (const QByteArray& name : qAsConst(raw)) {
            const int fd = ::open(name.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
        Root root(nullptr, path("odd"), true, true, { "*.vrx" }, true);
        Recorder rec(&root);
        root.setActive(true);
        QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
        QCOMPARE(rec.files, (QSet<QString> { path("odd/plain.vrx"), path("odd/real \uFFFD.vrx") }));
        for (const QString& file : root.listFiles())
            QVERIFY2(QFileInfo::exists(file), qPrintable(file));
        QCOMPARE(root.listFiles().size(), 2);
    }

    // The folder of a Root goes while it is watched (removed, moved away, or its drive
    // unmounted): its files are announced gone, and when it comes back (its drive mounted
    // again) the files then in it are announced, though the system stopped watching it.
    void aFolderThatWentIsSeenWhenItComesBack_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("removed and made again") << 0;
        QTest::newRow("moved away and back") << 1;
        QTest::newRow("drive unmounted and mounted again") << 2;
        QTest::newRow("moved away, another made in its place") << 3;
    }

    void aFolderThatWentIsSeenWhenItComesBack()
    {
        QFETCH(int, how);
        QString folder = path("vol");
        if (how == 2) {
            const QString ns = ostra::test::mountNamespaceFolder();
            if (ns.isEmpty()) {
                OSTRA_RUN_IN_MOUNT_NAMESPACE(path("ns"),
                    QStringList { "aFolderThatWentIsSeenWhenItComesBack:drive unmounted and mounted again" });
                return;
            }
            folder = ns + "/vol";
            QVERIFY(ostra::test::mountTmpfs("ostratestvol", folder));
        }
        touch(folder + "/a.vrx");
        touch(folder + "/sub/b.vrx");
        Root root(nullptr, folder, true, true, { "*.vrx" }, true);
        root.setRescanInterval(50);
        Recorder rec(&root);
        root.setActive(true);
        QTRY_COMPARE_WITH_TIMEOUT(
            rec.files, (QSet<QString> { folder + "/a.vrx", folder + "/sub/b.vrx" }), kWaitMs);

        if (how == 0)
            QVERIFY(QDir(folder).removeRecursively());
        else if (how == 1 || how == 3)
            QVERIFY(QDir().rename(folder, path("away")));
        else
            QVERIFY(ostra::test::shell(QString("umount '%1'").arg(folder)));
        QTRY_VERIFY_WITH_TIMEOUT(rec.files.isEmpty(), kWaitMs);

        if (how == 0 || how == 3) {
            touch(folder + "/c.vrx");
        } else if (how == 1) {
            QVERIFY(QDir().rename(path("away"), folder));
        } else {
            QVERIFY(ostra::test::mountTmpfs("ostratestvol", folder));
            touch(folder + "/c.vrx");
            touch(folder + "/sub/b.vrx");
        }
        const QSet<QString> back = how == 1 ? QSet<QString> { folder + "/a.vrx", folder + "/sub/b.vrx" }
            : how != 2                      ? QSet<QString> { folder + "/c.vrx" }
                                            : QSet<QString> { folder + "/c.vrx", folder + "/sub/b.vrx" };
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, back, kWaitMs);
        // And it is followed as before (not what went away).
        if (how == 3)
            touch(path("away/e.vrx"));
        touch(folder + "/d.vrx");
        QTRY_VERIFY_WITH_TIMEOUT(rec.files.contains(folder + "/d.vrx"), kWaitMs);
        QVERIFY2(rec.errors.isEmpty(), qPrintable(rec.errors.join('\n')));
        for (const QString& file : qAsConst(rec.files))
            QVERIFY2(file.startsWith(folder + "/"), qPrintable(file));
        root.setActive(false);
        if (how == 2)
            QVERIFY(ostra::test::shell(QString("umount '%1'").arg(folder)));
    }

    // A Root whose folder is on a drive that hangs asks for its watches off the GUI thread,
    // which turns meanwhile: the folder is read once its watch is in, so that a file made
    // after the read began is seen. A Root stopped or deleted meanwhile announces nothing.
    void watchesAreAskedOffTheGuiThread_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("answered") << 0;
        QTest::newRow("stopped meanwhile") << 1;
        QTest::newRow("deleted meanwhile") << 2;
    }

    void watchesAreAskedOffTheGuiThread()
    {
        OSTRA_CONTINUE_IN_MOUNT_NAMESPACE(path("ns"));
        QFETCH(int, how);
        const QString ns = ostra::test::mountNamespaceFolder();
        touch(ns + "/disk/lib/a.vrx");
        touch(ns + "/disk/lib/sub/b.vrx");
        ostra::test::HeldMount drive(ns + "/disk", ns + "/mnt");
        if (!drive.isValid())
            QSKIP("cannot mount a file system of its own here");
        const QString lib = ns + "/mnt/lib";
        auto root = std::make_unique<Root>(nullptr, lib, true, true, QStringList { "*.vrx" }, true);
        QTRY_VERIFY_WITH_TIMEOUT(!root->isLocating(), kWaitMs);
        Recorder rec(root.get());

        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        root->setActive(true);
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, kWaitMs);
        QVERIFY(ostra::test::eventLoopTurns());
        QVERIFY(root->isReading());
        QVERIFY(rec.added.isEmpty());
        if (how == 1)
            root->setActive(false);
        if (how == 2) {
            QPointer<Root> gone(root.get());
            root.reset();
            QVERIFY(gone.isNull());
        }
        QVERIFY(watchdog.end());
        drive.open();
        if (how != 0) {
            QTRY_VERIFY_WITH_TIMEOUT(drive.held() == 0, kWaitMs);
            QVERIFY(ostra::test::eventLoopTurns(20));
            QVERIFY(rec.added.isEmpty());
            if (root)
                QVERIFY(!root->isReading());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, (QSet<QString> { lib + "/a.vrx", lib + "/sub/b.vrx" }), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!root->isReading(), kWaitMs);
        // Made through the mount: its watch tells.
        touch(lib + "/c.vrx");
        QTRY_VERIFY_WITH_TIMEOUT(rec.files.contains(lib + "/c.vrx"), kWaitMs);
        QVERIFY(rec.errors.isEmpty());
    }

    // A Root's folder may be on a drive that hangs: its canonical path is looked up off the
    // GUI thread, which turns while the drive holds the lookup. Once it is in, a folder
    // opened through a link is known for the one it leads to; a Root whose caller found
    // the path already asks nothing.
    void canonicalPathIsLookedUpOffTheGuiThread()
    {
        QVERIFY(QDir().mkpath(path("real/sub")));
        QVERIFY(QFile::link(path("real"), path("link")));
        ostra::test::HeldOpens drive(path("real"));
        if (!drive.isValid())
            QSKIP("needs root to hold a folder's opens");
        const QString realSub = QFileInfo(path("real/sub")).canonicalFilePath();
        const Root sub(nullptr, path("real/sub"), false, true, { "*.vrx" }, true, realSub);
        QVERIFY(!sub.isLocating());
        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        Root viaLink(nullptr, path("link"), true, true, { "*.vrx" }, false);
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, kWaitMs);
        QVERIFY(ostra::test::eventLoopTurns());
        QVERIFY(viaLink.isLocating());
        QVERIFY(!viaLink.covers(sub)); // by its own spelling, for now
        QVERIFY(watchdog.end());
        QSignalSpy located(&viaLink, &Root::located);
        drive.open();
        QTRY_COMPARE_WITH_TIMEOUT(located.count(), 1, kWaitMs);
        QVERIFY(!viaLink.isLocating());
        QVERIFY(viaLink.covers(sub));
        QVERIFY(viaLink.excludesFile(path("real/sub/a.vrx"), realSub));
        QVERIFY(!viaLink.excludesFile(path("real/sub/a.vrx")));
    }

    void symlinkLoopsEndAtTheFirstVisit()
    {
        touch(path("loop/a/1.vrx"));
        touch(path("loop/b/2.vrx"));
        QVERIFY(QFile::link(path("loop"), path("loop/a/up")));
        QVERIFY(QFile::link(path("loop/b"), path("loop/a/side")));
        QVERIFY(QFile::link(path("loop/a"), path("loop/b/across")));

        Root root(nullptr, path("loop"), true, true, { "*.vrx" }, true);
        Recorder rec(&root);
        root.setActive(true);
        QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
        QVERIFY2(rec.errors.isEmpty(), qPrintable(rec.errors.join('\n')));
        // Each folder once, under the first path it was reached by.
        QCOMPARE(rec.files.size(), 2);
        QCOMPARE(root.followedDirectories().size(), 3);
        QCOMPARE(root.listFiles().size(), 2);

        // Reading the folders again finds nothing new.
        QSignalSpy spy(&root, &Root::addFile);
        root.rescan();
        QVERIFY(root.isReading());
        QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
        QCOMPARE(spy.count(), 0);
    }

    void aFolderReachedTwiceIsFollowedOnce()
    {
        touch(path("ext/e.vrx"));
        QDir().mkpath(path("two"));
        QVERIFY(QFile::link(path("ext"), path("two/l1")));
        QVERIFY(QFile::link(path("ext"), path("two/l2")));

        Root root(nullptr, path("two"), true, true, { "*.vrx" }, true);
        Recorder rec(&root);
        root.setActive(true);
        QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
        QCOMPARE(rec.files.size(), 1);
        const QString first = *rec.files.begin();
        const bool viaL1 = first == path("two/l1/e.vrx");
        QVERIFY(viaL1 || first == path("two/l2/e.vrx"));

        // When the link it was followed by goes, the remaining link takes over.
        QVERIFY(QFile::remove(path(viaL1 ? "two/l1" : "two/l2")));
        const QString other = path(viaL1 ? "two/l2/e.vrx" : "two/l1/e.vrx");
        QTRY_COMPARE_WITH_TIMEOUT(rec.files, QSet<QString> { other }, kWaitMs);
        touch(path("ext/f.vrx"));
        QTRY_VERIFY_WITH_TIMEOUT(rec.files.contains(other.left(other.size() - 5) + "f.vrx"), kWaitMs);
        QVERIFY2(rec.errors.isEmpty(), qPrintable(rec.errors.join('\n')));
    }

    void unwatchableFoldersAreStillListed()
    {
        QSet<QString> all;
        for (const char* file :
            { "lim/a.vrx", "lim/nowatch1/b.vrx", "lim/nowatch2/c.vrx", "lim/fine/d.vrx" }) {
            touch(path(file));
            all.insert(path(file));
        }

        g_warnings.clear();
        g_previousHandler = qInstallMessageHandler(collectWarnings);
        LimitedRoot root(nullptr, path("lim"), true, true, { "*.vrx" }, true);
        root.setRescanInterval(50);
        Recorder rec(&root);
        root.setActive(true);
        QTRY_VERIFY_WITH_TIMEOUT(!root.isReading(), kWaitMs);
        qInstallMessageHandler(g_previousHandler);

        QCOMPARE(root.refused, 2);
        QCOMPARE(rec.files, all);
        QCOMPARE(g_warnings.size(), 1); // once, not per folder
        QVERIFY(g_warnings.first().contains(QLatin1String("nowatch")));

        // The watched parts still follow the disk.
        touch(path("lim/fine/e.vrx"));
        QTRY_VERIFY_WITH_TIMEOUT(rec.files.contains(path("lim/fine/e.vrx")), kWaitMs);
        // Removing an unwatched folder is still seen from its watched parent.
        QVERIFY(QDir(path("lim/nowatch1")).removeRecursively());
        QTRY_VERIFY_WITH_TIMEOUT(!rec.files.contains(path("lim/nowatch1/b.vrx")), kWaitMs);
        // The unwatched folders are read again on a timer: files that come or go in them
        // and below them are still announced.
        touch(path("lim/nowatch2/deeper/f.vrx"));
        QVERIFY(QFile::remove(path("lim/nowatch2/c.vrx")));
        QTRY_COMPARE(rec.files.contains(path("lim/nowatch2/deeper/f.vrx")), true);
        QTRY_COMPARE(rec.files.contains(path("lim/nowatch2/c.vrx")), false);
        QVERIFY2(rec.errors.isEmpty(), qPrintable(rec.errors.join('\n')));
        // Stopped, it reads nothing more.
        root.setActive(false);
        const int added = rec.added.size();
        touch(path("lim/nowatch2/g.vrx"));
        QTest::qWait(200);
        QCOMPARE(rec.added.size(), added);
    }
};

OSTRA_TEST_MAIN_CORE(TestRoot)
#include "tst_root.moc"

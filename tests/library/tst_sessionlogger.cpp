#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <signal.h>
#include <unistd.h>

#include "core/database.h"
#include "library/session.h"
#include "library/sessionlogger.h"
#include "support/eventloopturns.h"
#include "support/filetree.h"
#include "support/forkedchild.h"
#include "support/heldmount.h"
#include "support/mountnamespace.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The folders of a session's Roots, in row order, with "-" in front of closing ones.
// The Roots come in once the disk has said what each location is (off the GUI thread).
QStringList rootsOf(Session* session)
{
    if (session && !QTest::qWaitFor([session] { return !session->isReading(); }, 15000))
        return { "still reading" };
    QStringList roots;
    for (int row = 0; session && row < session->rowCount(); ++row) {
        const QModelIndex index = session->index(row, 0);
        const QString folder = session->data(index, Session::FolderRole).toUrl().toLocalFile();
        roots.append((session->data(index, Session::InclusiveRole).toBool() ? "" : "-") + folder);
    }
    return roots;
}

int count(const QString& path, const QString& where)
{
    QSqlDatabase db;
    if (!openDatabase(db, path, QStringList()))
        return -1;
    int result = -1;
    {
        QSqlQuery query(db);
        if (query.exec("select count(*) from sessions where " + where) && query.next())
            result = query.value(0).toInt();
    }
    closeDatabase(db);
    return result;
}

// The operations written for the sessions, in the order they were written: operation,
// session id and location, one line each.
QStringList operations(const QString& path)
{
    QSqlDatabase db;
    if (!openDatabase(db, path, QStringList()))
        return { "no database" };
    QStringList rows;
    {
        QSqlQuery query(db);
        if (query.exec("select operation, parent_id, root_url from sessions where operation != 'r' order by "
                       "row_id")) {
            while (query.next())
                rows.append(QStringList { query.value(0).toString(), query.value(1).toString(),
                    QUrl(query.value(2).toString()).toLocalFile() }
                                .join(' '));
        }
    }
    closeDatabase(db);
    return rows;
}

} // namespace

class TestSessionLogger : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_db;

    std::unique_ptr<SessionLogger> open(int depth = 5)
    {
        auto logger = std::make_unique<SessionLogger>();
        logger->setDbConnString(m_db);
        logger->setDepth(depth);
        return logger;
    }
    QString folder(const QString& name)
    {
        QDir(m_dir.path()).mkpath(name);
        return m_dir.filePath(name);
    }

private slots:
    void init()
    {
        const QString tag = QString::fromUtf8(QTest::currentDataTag()).replace(' ', '-');
        m_db = m_dir.filePath(QString("history-%1-%2.db").arg(QTest::currentTestFunction(), tag));
    }

    // Dropping folders and files on the window: which of them are folders is asked off the
    // GUI thread, which turns while a drive that hangs holds the answer; nothing is written
    // meanwhile. The folders and the pictures go into the session that was active when they
    // were dropped, in the order given, and what was asked for meanwhile comes after them.
    void offeringAllAsksTheDiskOffTheGuiThread_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("folders and pictures") << 0;
        QTest::newRow("a folder closed meanwhile") << 1;
        QTest::newRow("another session made active meanwhile") << 2;
        QTest::newRow("history closed meanwhile") << 3;
        QTest::newRow("a folder closed, then another session made active") << 4;
    }

    void offeringAllAsksTheDiskOffTheGuiThread()
    {
        OSTRA_CONTINUE_IN_MOUNT_NAMESPACE(m_dir.filePath("ns"));
        QFETCH(int, how);
        const QString ns = ostra::test::mountNamespaceFolder();
        QVERIFY(ostra::test::writeTreeFile(ns + "/disk/dir/a.vrx"));
        QVERIFY(ostra::test::writeTreeFile(ns + "/disk/notes.txt"));
        QVERIFY(ostra::test::writeTreeFile(ns + "/disk/p.vrx"));
        ostra::test::HeldMount drive(ns + "/disk", ns + "/mnt");
        if (!drive.isValid())
            QSKIP("cannot mount a file system of its own here");
        const QString dir = ns + "/mnt/dir", notes = ns + "/mnt/notes.txt", picture = ns + "/mnt/p.vrx";
        const QString other = folder("other");
        auto logger = open();
        logger->setGlobbing({ "*.vrx" });
        logger->offer(QUrl::fromLocalFile(other), false);
        const int first = logger->activeId();
        logger->reset();
        const int second = logger->activeId();
        QVERIFY(first != second);

        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        logger->offerAll(
            { QUrl::fromLocalFile(dir), QUrl::fromLocalFile(notes), QUrl::fromLocalFile(picture) }, true);
        if (how == 1 || how == 4)
            logger->close(QUrl::fromLocalFile(dir), true);
        if (how == 2 || how == 4)
            logger->setActiveId(first);
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, 15000);
        QVERIFY(ostra::test::eventLoopTurns());
        const QString one = QStringLiteral("o %1 %2").arg(first).arg(other);
        QCOMPARE(operations(m_db), QStringList { one });
        if (how == 3)
            logger.reset();
        QVERIFY(watchdog.end());
        drive.open();
        if (!logger) {
            QTRY_VERIFY_WITH_TIMEOUT(drive.held() == 0, 15000);
            QCoreApplication::sendPostedEvents();
            QCOMPARE(operations(m_db), QStringList { one });
            return;
        }
        const QStringList offered = { QStringLiteral("o %1 %2").arg(second).arg(dir),
            QStringLiteral("o %1 %2").arg(second).arg(picture) };
        const bool closed = how == 1 || how == 4;
        QTRY_COMPARE_WITH_TIMEOUT(operations(m_db).size(), closed ? 4 : 3, 15000);
        QStringList expected = QStringList { one } + offered;
        if (closed)
            expected.append(QStringLiteral("c %1 %2").arg(second).arg(dir));
        QCOMPARE(operations(m_db), expected);
        QTRY_COMPARE(logger->activeId(), how == 2 || how == 4 ? first : second);
        QCOMPARE(rootsOf(logger->session(first)), QStringList { other });
        if (closed)
            QCOMPARE(rootsOf(logger->session(second)), QStringList({ ns + "/mnt" }));
        else
            QCOMPARE(rootsOf(logger->session(second)), QStringList({ dir, ns + "/mnt" }));
    }

    // Sessions made in the same second keep their own rows, and each replays after a
    // restart with its Roots in order; the most recent one is active again.
    void replayAcrossRestart()
    {
        const QString a = folder("a"), b = folder("b"), c = folder("c"), ax = folder("a/x");
        QList<int> ids;
        QList<QStringList> roots;
        {
            auto logger = open();
            QCOMPARE(count(m_db, "operation='r'"), 1);
            logger->offer(QUrl::fromLocalFile(a), true);
            logger->close(QUrl::fromLocalFile(ax), false);
            ids << logger->activeId();
            logger->reset();
            logger->offer(QUrl::fromLocalFile(b), false);
            ids << logger->activeId();
            logger->reset();
            logger->offer(QUrl::fromLocalFile(c), true);
            logger->impose(QUrl::fromLocalFile(c), true, QJsonDocument::fromJson("{\"rating\":3}"));
            logger->close(); // an empty location closes nothing
            ids << logger->activeId();
            QCOMPARE(QSet<int>(ids.begin(), ids.end()).size(), 3);
            QCOMPARE(rootsOf(logger->session(ids[0])), QStringList({ a, "-" + a + "/x" }));
            QCOMPARE(rootsOf(logger->session(ids[1])), QStringList({ b }));
            for (int id : ids)
                roots << rootsOf(logger->session(id));
        }
        QCOMPARE(count(m_db, "operation='c' and recursive=0"), 1);
        QCOMPARE(count(m_db, "operation='l' and cast(condition as text)='{\"rating\":3}'"), 1);
        auto logger = open();
        QCOMPARE(logger->activeId(), ids[2]);
        QCOMPARE(logger->sessions(), QList<int>({ ids[1], ids[0] }));
        for (int i = 0; i < ids.size(); ++i)
            QCOMPARE(rootsOf(logger->session(ids[i])), roots[i]);
        QCOMPARE(count(m_db, "operation='r'"), 3); // opening again adds none
    }

    // Trimming keeps the most recently activated sessions, growing replays the others;
    // activating away from an empty session deletes it with its rows.
    void depthAndActivation()
    {
        auto logger = open();
        QList<int> ids;
        for (int i = 0; i < 5; ++i) {
            logger->offer(QUrl::fromLocalFile(folder(QString("f%1").arg(i))), false);
            ids << logger->activeId();
            logger->reset();
        }
        logger->reset(); // the active one is empty: no new row
        QCOMPARE(count(m_db, "operation='r'"), 6);
        const int empty = logger->activeId();
        logger->setActiveId(ids[1]);
        QCOMPARE(logger->session(empty), nullptr);
        QCOMPARE(count(m_db, "operation='r'"), 5);
        QCOMPARE(logger->activeId(), ids[1]);

        QSignalSpy changed(logger.get(), &SessionLogger::sessionsChanged);
        logger->setDepth(2);
        QCOMPARE(logger->sessions(), QList<int>({ ids[4] }));
        QVERIFY(!changed.isEmpty());
        logger->setDepth(5);
        QCOMPARE(rootsOf(logger->session(ids[0])), QStringList({ m_dir.filePath("f0") }));

        // A session deleted with its child rows: foreign keys are enforced.
        logger->reset();
        logger->setActiveId(ids[0]);
        QCOMPARE(count(m_db, "parent_id not in (select row_id from sessions)"), 0);
    }

    // A history file left damaged (torn by a crash amid a write, or not a database at all)
    // is kept aside whole and a new history started: folders can still be opened in the
    // gallery, and they are recorded again.
    void damagedHistoryIsSetAside_data()
    {
        QTest::addColumn<bool>("torn");
        QTest::newRow("not a database") << false;
        QTest::newRow("torn pages") << true;
    }

    void damagedHistoryIsSetAside()
    {
        QFETCH(bool, torn);
        const QString a = folder("a");
        if (torn) {
            auto logger = open();
            for (int i = 0; i < 100; ++i)
                logger->offer(
                    QUrl::fromLocalFile(folder(QString("t/%1-%2").arg(i).arg(QString(60, 'x')))), false);
        }
        {
            QFile file(m_db);
            QVERIFY(file.open(QIODevice::ReadWrite));
            if (torn) {
                QVERIFY(file.size() >= 4 * 4096);
                QVERIFY(file.seek(4096));
            }
            QCOMPARE(file.write(QByteArray(2 * 4096, char(0xA5))), qint64(2 * 4096));
        }
        const QByteArray damaged = readAll(m_db);

        auto logger = open();
        QVERIFY(logger->activeId() > 0);
        logger->offer(QUrl::fromLocalFile(a), true);
        QCOMPARE(rootsOf(logger->session(logger->activeId())), QStringList { a });
        QCOMPARE(readAll(m_db + ".damaged"), damaged);
        logger.reset();

        auto again = open();
        QCOMPARE(rootsOf(again->session(again->activeId())), QStringList { a });
        QCOMPARE(count(m_db, "operation='o'"), 1);
        QVERIFY(!QFileInfo::exists(m_db + ".damaged-2"));
    }

    // A history another process holds locked (a second start, a backup tool) is in use,
    // not damaged: it is neither set aside nor replaced, and opened once it is free again
    // it still holds every session.
    void lockedHistoryIsNotSetAside()
    {
        const QString a = folder("a");
        int kept = 0;
        {
            auto logger = open();
            logger->offer(QUrl::fromLocalFile(a), true);
            kept = logger->activeId();
            QCOMPARE(rootsOf(logger->session(kept)), QStringList { a });
        }
        const QByteArray before = readAll(m_db);
        {
            QSqlDatabase holder = QSqlDatabase::addDatabase("QSQLITE", "holder");
            holder.setDatabaseName(m_db);
            QVERIFY(holder.open());
            {
                QSqlQuery hold(holder);
                QVERIFY(hold.exec("begin exclusive"));
                QVERIFY(hold.exec("update sessions set display_name = display_name"));
                {
                    auto logger = open();
                    QCOMPARE(logger->activeId(), 0);
                }
                QVERIFY(!QFileInfo::exists(m_db + ".damaged"));
                QVERIFY(hold.exec("rollback"));
            }
            holder.close();
        }
        QSqlDatabase::removeDatabase("holder");
        QCOMPARE(readAll(m_db), before);
        auto logger = open();
        QCOMPARE(logger->activeId(), kept);
        QCOMPARE(rootsOf(logger->session(kept)), QStringList { a });
    }

    // A history on a disk that fills up or turns read-only: a start there shows the sessions
    // it holds, the folders opened meanwhile are not recorded, the history is not set aside
    // as damaged, and once the disk can be written again everything before is still there.
    void fullOrReadOnlyDiskKeepsTheHistory()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(m_dir.filePath("ns"), QStringList { "fullOrReadOnlyDiskInside" });
    }
    void fullOrReadOnlyDiskInside_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::newRow("full") << false;
        QTest::newRow("read-only") << true;
    }
    void fullOrReadOnlyDiskInside()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs only inside the mount namespace of fullOrReadOnlyDiskKeepsTheHistory");
        QFETCH(bool, readOnly);
        const QString disk = root + (readOnly ? "/ro" : "/full");
        QVERIFY(ostra::test::mountTmpfs("ostra-history", disk, "size=1m"));
        m_db = disk + "/Ostra.1.db";
        const QString a = folder("a");
        int first = 0;
        {
            auto logger = open();
            logger->offer(QUrl::fromLocalFile(a), true);
            first = logger->activeId();
        }
        QVERIFY(first > 0);
        const QStringList before = QDir(disk).entryList(QDir::Files | QDir::Hidden);
        if (readOnly)
            QVERIFY(ostra::test::shell(QStringLiteral("mount -o remount,ro '%1'").arg(disk)));
        else
            QVERIFY(ostra::test::fillFileSystem(disk));
        {
            auto logger = open();
            QVERIFY(logger->session(first));
            QCOMPARE(rootsOf(logger->session(first)), QStringList { a });
            logger->reset();
            logger->offer(QUrl::fromLocalFile(folder("b")), true);
        }
        QStringList after = QDir(disk).entryList(QDir::Files | QDir::Hidden);
        after.removeAll("filler");
        QCOMPARE(after, before);

        if (readOnly)
            QVERIFY(ostra::test::shell(QStringLiteral("mount -o remount,rw '%1'").arg(disk)));
        else
            QVERIFY(QFile::remove(disk + "/filler"));
        auto logger = open();
        QVERIFY(logger->session(first));
        QCOMPARE(rootsOf(logger->session(first)), QStringList { a });
        QCOMPARE(count(m_db, "operation='o' and root_url like '%/a'"), 1);
        QCOMPARE(count(m_db, "root_url like '%/b'"), 0);
    }

    // A process killed amid a write leaves its journal behind: the next start rolls the
    // write back and keeps the history as it was, without setting it aside.
    void killedAmidAWriteKeepsTheHistory()
    {
        const QString a = folder("a");
        int kept = 0;
        {
            auto logger = open();
            logger->offer(QUrl::fromLocalFile(a), true);
            kept = logger->activeId();
        }
        const int code = ostra::test::inChild([this, kept] {
            QSqlDatabase db;
            if (!openDatabase(db, m_db, QStringList()))
                return 1;
            QSqlQuery query(db);
            if (!query.exec("begin immediate"))
                return 2;
            for (int i = 0; i < 500; ++i) {
                if (!query.exec(QString("insert into sessions (parent_id, operation, display_name, root_url) "
                                        "values (%1, 'o', 'x', 'file:///never/%2')")
                                    .arg(kept)
                                    .arg(i)))
                    return 3;
            }
            if (!query.exec("delete from sessions where operation='r'"))
                return 4;
            ::kill(::getpid(), SIGKILL);
            return 5;
        });
        QCOMPARE(code, 1000 + SIGKILL);
        QVERIFY(QFileInfo::exists(m_db + "-journal"));

        auto logger = open();
        QCOMPARE(logger->activeId(), kept);
        QCOMPARE(rootsOf(logger->session(kept)), QStringList { a });
        QCOMPARE(count(m_db, "root_url like 'file:///never/%'"), 0);
        QVERIFY(!QFileInfo::exists(m_db + ".damaged"));
    }
};

OSTRA_TEST_MAIN_CORE(TestSessionLogger)
#include "tst_sessionlogger.moc"

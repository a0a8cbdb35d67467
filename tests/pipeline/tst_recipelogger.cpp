#include "support/eventloopturns.h"
#include "support/heldopens.h"
#include "support/mountnamespace.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardItemModel>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <memory>

#include "pipeline/recipelogger.h"
#include "routerfixture.h"

using namespace routertest;

namespace {

// The real scheduler, with what the journal's replay tells it written down.
class SpyRouter : public RecipeRouter
{
public:
    QList<int> obstacles;
    QList<QUuid> held;
    QHash<QUuid, QDateTime> dates;
    QList<QUrl> puts;

    void onObstacle(QUrl target, Recipe recipe, IFileSink::Error error) override
    {
        obstacles << error;
        RecipeRouter::onObstacle(target, recipe, error);
    }
    void setLive(QUuid session, bool live) override
    {
        if (!live)
            held << session;
        RecipeRouter::setLive(session, live);
    }
    void setDate(QUuid session, QDateTime date) override
    {
        dates.insert(session, date);
        RecipeRouter::setDate(session, date);
    }
    bool putRecipe(QUuid session, QUrl url, Recipe recipe, Arbiter arbiter) override
    {
        puts << url;
        return RecipeRouter::putRecipe(session, url, recipe, arbiter);
    }
};

// One run of the application: a router behind a journal on a file.
struct Run
{
    FakeProvider source;
    SpyRouter router;
    RecipeLogger logger;
    explicit Run(const QString& journal)
    {
        router.setMounted(QStorageInfo::mountedVolumes());
        logger.setDelegate(&router);
        logger.setDbConnString(journal);
        IProvider::setPipeline(&source, &logger);
    }
    // Replays the journal: the delegate starts once the replay's questions to the file
    // system are answered.
    void start()
    {
        logger.start();
        QTRY_VERIFY(!logger.replaying());
    }
};

QVariant scalar(const QString& journal, const QString& sql)
{
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "peek");
        db.setDatabaseName(journal);
        if (db.open()) {
            QSqlQuery query(sql, db);
            if (query.next())
                value = query.value(0);
        }
    }
    QSqlDatabase::removeDatabase("peek");
    return value;
}

// Makes the journal refuse what marks a row done, as a disk in trouble does, until the
// fault is cleared: "write" refuses the update itself, "commit" lets it run and refuses the
// commit of its transaction (a check deferred to the commit fails).
void setFault(const QString& journal, const QString& kind)
{
    if (kind == "commit") {
        // Deferred checks are the journal connection's own choice.
        for (const QString& name : QSqlDatabase::connectionNames()) {
            if (name.endsWith(journal))
                QSqlQuery("PRAGMA foreign_keys=ON", QSqlDatabase::database(name, false));
        }
    }
    const QStringList steps = kind == "write"
        ? QStringList { "create trigger fault before update of done on recipes when new.done = 1 "
                        "begin select raise(abort, 'disk trouble'); end" }
        : kind == "commit" ? QStringList { "create table if not exists fault_parent (id integer primary key)",
              "create table if not exists fault_child (parent integer references fault_parent(id) "
              "deferrable initially deferred)",
              "create trigger fault after update of done on recipes when new.done = 1 "
              "begin insert into fault_child values (1); end" }
                           : QStringList { "drop trigger fault" };
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "fault");
        db.setDatabaseName(journal);
        QVERIFY(db.open());
        for (const QString& step : steps) {
            QSqlQuery query(db);
            QVERIFY2(query.exec(step), qPrintable(query.lastError().text()));
        }
    }
    QSqlDatabase::removeDatabase("fault");
}

void setZone(const QByteArray& zone)
{
    qputenv("TZ", zone);
    tzset();
}

} // namespace

class TestRecipeLogger : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QString journal() const { return dir.filePath("Trans.1.db"); }
    QUrl url(const QString& name) const { return QUrl::fromLocalFile(dir.filePath(name)); }

private slots:
    void init() { QFile::remove(journal()); }

    void finishedRowsReplayAsFinished()
    {
        {
            Run run(journal());
            QVERIFY(run.logger.putRecipe(session(1), url("s1/a.vrx"), recipe("a", 10), Arbiter()));
            QVERIFY(run.logger.putRecipe(session(2), url("s2/b.vrx"), recipe("b", 10), Arbiter()));
            QVERIFY(run.logger.putRecipe(session(2), url("s2/c.vrx"), recipe("c", 10), Arbiter()));
            QVERIFY(run.logger.putRecipe(session(3), url("s3/k.vrx"), recipe("k", 10), Arbiter()));
            run.logger.onObstacle(url("s1/a.vrx"), recipe("a", 10), IFileSink::Content);
            run.logger.onComplete(url("s2/b.vrx"), recipe("b", 10));
        }
        QCOMPARE(scalar(journal(), "select err from recipes where url like '%a.vrx'").toInt(), 8);
        // Content refused, then the source lost as well.
        scalar(journal(), "update recipes set err=520 where url like '%a.vrx'");
        // The source of a row may be gone at the next start.
        scalar(journal(), "update recipes set provider='gone' where url like '%k.vrx'");
        Run run(journal());
        run.start();
        QCOMPARE(run.router.obstacles, (QList<int> { IFileSink::Content, IFileSink::SrcLost }));
        QCOMPARE(run.router.held, QList<QUuid> { session(1) });
        // The folder of a finished session (the user may have deleted it) is not made again.
        QVERIFY(!QFileInfo::exists(dir.filePath("s1")));
        QTRY_COMPARE(run.source.fetches.size(), 1);
        QCOMPARE(run.source.fetches.at(0).url, url("s2/c.vrx"));
        // Its row is not replayed, and stays for a start that knows the source again.
        QVERIFY(!run.router.hasFile(url("s3/k.vrx")));
        QCOMPARE(
            scalar(journal(), "select provider from recipes where url like '%k.vrx'").toString(), "gone");
    }

    void datesAcrossTimeZones_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::newRow("UTC") << QByteArray("UTC");
        QTest::newRow("Berlin") << QByteArray("Europe/Berlin");
    }

    void datesAcrossTimeZones()
    {
        QFETCH(QByteArray, zone);
        const QByteArray before = qgetenv("TZ");
        // Written under one zone, read and cleaned under the other.
        setZone(zone == "UTC" ? "Europe/Berlin" : "UTC");
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const QDateTime summer(QDate(2026, 7, 1), QTime(12, 30), Qt::UTC);
        {
            Run run(journal());
            for (int s = 1; s <= 6; ++s)
                QVERIFY(run.logger.putRecipe(
                    session(s), url(QString("t/%1").arg(s)), recipe(QString::number(s), 5), {}));
            // Session 6 has a second file, still to come.
            QVERIFY(run.logger.putRecipe(session(6), url("t/6b"), recipe("6b", 5), {}));
            for (int s = 4; s <= 6; ++s)
                run.logger.onComplete(url(QString("t/%1").arg(s)), recipe(QString::number(s), 5));
            run.logger.setDate(session(1), now.addDays(-1).toLocalTime());
            run.logger.setDate(session(2), now.addDays(-30).addSecs(1800).toLocalTime());
            run.logger.setDate(session(3), now.addDays(-30).addSecs(-1800).toLocalTime());
            run.logger.setDate(session(4), summer.toLocalTime());
            run.logger.setDate(session(5), now.addDays(-30).addSecs(1800).toLocalTime());
            run.logger.setDate(session(6), summer.toLocalTime());
        }
        setZone(zone);
        Run run(journal());
        run.logger.clean(30);
        run.start();
        // Finished imports are kept for 30 days, unfinished ones as long as they have a
        // file younger than that (session 6: one finished, one not, all of it kept).
        QVERIFY(!run.router.dates.contains(session(4)));
        QCOMPARE(run.router.dates.value(session(5)).toSecsSinceEpoch(),
            now.addDays(-30).addSecs(1800).toSecsSinceEpoch());
        QVERIFY(!run.router.dates.contains(session(3)));
        QCOMPARE(run.router.dates.keys().size(), 3);
        QVERIFY(run.router.dates.contains(session(1)) && run.router.dates.contains(session(2)));
        setZone(before);
    }

    // A file at the target of an unfinished row is taken as the row's own file (renamed
    // into place before the completion was journaled) only when it came after the row
    // and its content is accepted; one that was there before is a file in the way.
    void replayTakesOnlyItsOwnFile_data()
    {
        QTest::addColumn<bool>("before");
        QTest::newRow("placed after the row: done") << false;
        QTest::newRow("there before the row: in the way") << true;
    }

    void replayTakesOnlyItsOwnFile()
    {
        QFETCH(bool, before);
        {
            Run run(journal());
            QVERIFY(run.logger.putRecipe(session(1), url("r/a.vrx"), recipe("a", 10), Arbiter()));
            QVERIFY(run.logger.putRecipe(session(1), url("r/b.vrx"), recipe("b", 10), Arbiter()));
        }
        QVERIFY(writeTreeFile(dir.filePath("r/a.vrx"), QByteArray(10, 'u')));
        if (before) {
            // As if the row was written an hour after the file came.
            scalar(
                journal(), "update recipes set timestamp=datetime('now', '+1 hour') where url like '%a.vrx'");
        }
        Run run(journal());
        run.source.verifyAnswer = true; // the same size: all that a size check sees
        run.start();
        QTRY_COMPARE(run.source.fetches.size(), 1);
        QCOMPARE(run.source.fetches.at(0).url, url("r/b.vrx"));
        settle(run.router);
        QCOMPARE(
            scalar(journal(), "select done from recipes where url like '%a.vrx'").toInt(), before ? 0 : 1);
        QCOMPARE(run.router.obstacles, before ? QList<int> { IFileSink::Present } : QList<int>());
        QCOMPARE(readFile(dir.filePath("r/a.vrx")), QByteArray(10, 'u'));
    }

    // A copy renamed into place before a kill journaled its completion was not verified
    // either: once the replay has started the scheduler it is, even when it was the last
    // file of its import (which then counts as finished). Without that it would never be
    // marked as imported, nor freed at the source.
    void replayVerifiesCopiesPlacedUnjournaled()
    {
        {
            Run run(journal());
            QVERIFY(run.logger.putRecipe(session(1), url("v/a.vrx"), recipe("a", 10), Arbiter()));
        }
        QVERIFY(writeTreeFile(dir.filePath("v/a.vrx"), QByteArray(10, 'u')));
        Run run(journal());
        run.source.verifyAnswer = true;
        QSignalSpy validate(&run.logger, &IFileSink::needValidate);
        run.logger.start(); // the replay asks the file system on its worker
        QTRY_COMPARE(scalar(journal(), "select done from recipes where url like '%v/a.vrx'").toInt(), 1);
        QTRY_COMPARE(validate.size(), 1);
        QCOMPARE(validate.first().first().toUrl(), url("v/a.vrx"));
        QCOMPARE(run.source.fetches.size(), 0);
    }

    // Rows that the program cannot have written are left out of the replay, with a line
    // in the log each; the others replay as usual.
    void unreadableRowsAreNotReplayed()
    {
        {
            Run run(journal());
            for (const char* name : { "good", "minus", "wide", "size", "nosession" })
                QVERIFY(run.logger.putRecipe(
                    session(1), url(QString("u/%1.vrx").arg(name)), recipe(name, 10), {}));
            QVERIFY(run.logger.putRecipe(session(1), url("u/lost.vrx"), recipe("lost", 10), {}));
        }
        scalar(journal(), "update recipes set done=1, err=-1 where url like '%minus.vrx'");
        scalar(journal(), "update recipes set done=1, err=2048 where url like '%wide.vrx'");
        scalar(journal(), "update recipes set fileSize=-5 where url like '%size.vrx'");
        scalar(journal(), "update recipes set session='not a uuid' where url like '%nosession.vrx'");
        scalar(journal(), "update recipes set done=1, err=520 where url like '%lost.vrx'");
        for (const char* name : { "minus", "wide", "size", "nosession" })
            QTest::ignoreMessage(QtWarningMsg,
                QRegularExpression(QString("Journal: row .*%1\\.vrx.* not replayed").arg(name)));
        Run run(journal());
        run.start();
        // Only the two known errors of the row of the lost file.
        QCOMPARE(run.router.obstacles, (QList<int> { IFileSink::Content, IFileSink::SrcLost }));
        QTRY_COMPARE(run.source.fetches.size(), 1);
        QCOMPARE(run.source.fetches.at(0).url, url("u/good.vrx"));
        QCOMPARE(run.router.puts.size(), 2);
    }

    // A journal whose table lacks columns (an older or damaged one) is rebuilt once with
    // the rows it can keep, and takes new imports again.
    void tableWithoutColumnsIsRebuilt_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<int>("kept");
        QTest::newRow("no estimate, no error columns")
            << "create table recipes (row_id integer primary key autoincrement, timestamp datetime default "
               "current_timestamp, session text not null, url text not null, provider text not null, "
               "ioDevice text not null, recipe text not null, imageUUID text not null, fileSize integer not "
               "null default 0, live integer not null default 1, free integer not null default 0, done "
               "integer not null default 0, skip integer not null default 0, over integer not null default 0)"
            << 1;
        QTest::newRow("no url column")
            << "create table recipes (row_id integer primary key autoincrement, session text, provider text, "
               "ioDevice text, recipe text, imageUUID text, fileSize integer, done integer)"
            << 0;
    }

    void tableWithoutColumnsIsRebuilt()
    {
        QFETCH(QString, table);
        QFETCH(int, kept);
        const Recipe old = recipe("old", 10);
        const QString document = QString::fromUtf8(old.recipe.toJson(QJsonDocument::Compact));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "craft");
            db.setDatabaseName(journal());
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY2(query.exec(table), qPrintable(query.lastError().text()));
            const bool hasUrl = table.contains("url text");
            QVERIFY(query.prepare(
                QString("insert into recipes (session, %1provider, ioDevice, recipe, imageUUID, "
                        "fileSize, done) values (?, %2?, ?, ?, ?, 10, 0)")
                    .arg(hasUrl ? "url, " : "", hasUrl ? "?, " : "")));
            query.addBindValue(session(1).toString());
            if (hasUrl)
                query.addBindValue(url("o/old.vrx").toString(QUrl::FullyEncoded));
            for (const QString& value : { old.provider, old.ioChannel, document, old.imageUuid.toString() })
                query.addBindValue(value);
            QVERIFY2(query.exec(), qPrintable(query.lastError().text()));
        }
        QSqlDatabase::removeDatabase("craft");
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression("Transfer journal .* lacked the columns .* rebuilt"));
        {
            Run run(journal());
            QVERIFY(run.logger.isOpen());
            run.start();
            // The row that could be kept resumes; a new import is journaled.
            QTRY_COMPARE(run.source.fetches.size(), kept);
            if (kept)
                run.source.deliver(0);
            QVERIFY(run.logger.putRecipe(session(2), url("n/new.vrx"), recipe("new", 10), {}));
            QTRY_COMPARE(run.source.fetches.size(), kept + 1);
            QCOMPARE(run.source.fetches.last().url, url("n/new.vrx"));
        }
        QCOMPARE(scalar(journal(), "select count(*) from recipes").toInt(), kept + 1);
        QCOMPARE(scalar(journal(), "select count(*) from pragma_table_info('recipes')").toInt(), 16);
        QCOMPARE(scalar(journal(), "select count(*) from sqlite_master where name='recipesUrl'").toInt(), 1);
        // Once: the next start finds the table whole.
        Run again(journal());
        again.start();
        QTRY_COMPARE(again.source.fetches.size(), 1);
        QCOMPARE(again.source.fetches.at(0).url, url("n/new.vrx"));
    }

    // A file under way cannot be withdrawn: the journal keeps its row. Another can.
    void recallOfAFileUnderWayKeepsItsRow()
    {
        Run run(journal());
        QVERIFY(run.logger.putRecipe(session(1), url("w/a.vrx"), recipe("a", 10), {}));
        QVERIFY(run.logger.putRecipe(session(1), url("w/b.vrx"), recipe("b", 10), {}));
        run.start();
        QTRY_COMPARE(run.source.fetches.size(), 1);
        const QUrl busy = run.source.fetches.at(0).url;
        const QUrl idle = busy == url("w/a.vrx") ? url("w/b.vrx") : url("w/a.vrx");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("recall: request in flight"));
        QVERIFY(!run.logger.recall(busy));
        QVERIFY(run.router.hasFile(busy));
        QCOMPARE(scalar(journal(), "select count(*) from recipes").toInt(), 2);
        QVERIFY(run.logger.recall(idle));
        QCOMPARE(scalar(journal(), "select count(*) from recipes").toInt(), 1);
    }

    // The replay asks about its targets on a worker: a destination that hangs holds the
    // worker, never the window, and nothing reaches the scheduler before the answers.
    // What comes meanwhile decides: a session dismissed is not replayed; a program that
    // ends leaves the journal as it was, and the next start replays it all.
    void replayAsksOffTheWindow_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::newRow("answered") << "nothing";
        QTest::newRow("session dismissed") << "dismissed";
        QTest::newRow("program ended") << "restart";
    }

    void replayAsksOffTheWindow()
    {
        QFETCH(QString, meanwhile);
        {
            Run run(journal());
            QVERIFY(run.logger.putRecipe(session(1), url("h/a.jpg"), recipe("a.jpg", 10, "jpg"), {}));
            QVERIFY(run.logger.putRecipe(session(1), url("h/b.jpg"), recipe("b.jpg", 10, "jpg"), {}));
        }
        // Renamed into place before the kill could journal it.
        QVERIFY(writeTreeFile(dir.filePath("h/a.jpg"), QByteArray(10, 'x')));
        ostra::test::HeldOpens held(dir.filePath("h"));
        if (!held.isValid())
            QSKIP("holding opens needs root");
        ostra::test::RescueWatchdog watchdog([&held] { held.open(); });
        auto doneRows
            = [&] { return scalar(journal(), "select count(*) from recipes where done=1").toInt(); };
        auto run = std::make_unique<Run>(journal());
        held.close();
        run->logger.start();
        QTRY_COMPARE(held.held(), 1);
        QVERIFY(ostra::test::eventLoopTurns());
        QVERIFY(run->logger.replaying());
        QVERIFY(!run->router.hasRequests());
        QCOMPARE(run->source.fetches.size(), 0);
        if (meanwhile == "dismissed")
            run->logger.dismiss(session(1));
        if (meanwhile == "restart") {
            run.reset();
            QCOMPARE(scalar(journal(), "select count(*) from recipes").toInt(), 2);
            QCOMPARE(doneRows(), 0);
            held.open();
            run = std::make_unique<Run>(journal());
            run->start();
        }
        held.open();
        QTRY_VERIFY(!run->logger.replaying());
        settle(run->router);
        QVERIFY(watchdog.end());
        if (meanwhile == "dismissed") {
            QVERIFY(!run->router.hasRequests());
            QCOMPARE(run->router.sessions(), QList<QUuid> { QUuid() });
            QCOMPARE(scalar(journal(), "select count(*) from recipes").toInt(), 0);
            QCOMPARE(run->source.fetches.size(), 0);
            return;
        }
        // The copy in place is done; the other file is fetched.
        QCOMPARE(doneRows(), 1);
        QTRY_COMPARE(run->source.fetches.size(), 1);
        QCOMPARE(run->source.fetches.at(0).url, url("h/b.jpg"));
        QVERIFY(!run->router.hasFile(url("h/a.jpg")));
    }

    // What copies cut off by a crash left under a target's work names goes at the replay.
    void replayRemovesCutOffWorkFiles()
    {
        {
            Run run(journal());
            QVERIFY(run.logger.putRecipe(session(1), url("c/a.vrx"), recipe("a", 10), {}));
        }
        for (const char* suffix : { ".transfer", ".transfer0", ".transfer1" })
            QVERIFY(writeTreeFile(dir.filePath(QString("c/a.vrx") + suffix), "cut off"));
        Run run(journal());
        run.start();
        QTRY_COMPARE(run.source.fetches.size(), 1);
        QCOMPARE(QDir(dir.filePath("c")).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void urlsSurviveTheRoundTrip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("hash") << "a#b.vrx";
        QTest::newRow("percent") << "100%25 %41.vrx";
        QTest::newRow("non-ASCII") << "Übersicht/фото 写真.vrx";
    }

    void urlsSurviveTheRoundTrip()
    {
        QFETCH(QString, name);
        {
            Run run(journal());
            QVERIFY(run.logger.putRecipe(session(1), url(name), recipe("x", 5), {}));
            QVERIFY(run.logger.putRecipe(session(1), url("other.vrx"), recipe("y", 5), {}));
            // The router names the file in its own form of the URL.
            run.logger.onComplete(QUrl::fromLocalFile(url(name).toLocalFile()), recipe("x", 5));
        }
        QCOMPARE(scalar(journal(), "select sum(done) from recipes").toInt(), 1);
        Run run(journal());
        run.start();
        QVERIFY(run.router.puts.contains(url(name)));
        // Known as finished: only the other file is fetched.
        QTRY_COMPARE(run.source.fetches.size(), 1);
        QCOMPARE(run.source.fetches.at(0).url, url("other.vrx"));
    }

    void refusedAndSessionlessRequestsLeaveNoRow()
    {
        Run run(journal());
        QVERIFY(run.logger.putRecipe(QUuid(), url("n.vrx"), recipe("n", 5), {}));
        QVERIFY(run.router.hasFile(url("n.vrx")));
        QVERIFY(run.logger.putRecipe(session(1), url("t.vrx"), recipe("t", 5), {}));
        // Another session asks for the same target: refused, and its row goes too.
        QVERIFY(!run.logger.putRecipe(session(2), url("t.vrx"), recipe("t", 5), {}));
        // A row of a source that is gone stays for later and stops nothing.
        Recipe gone = recipe("g", 5);
        gone.provider = "gone";
        run.logger.setBatch(true);
        QVERIFY(!run.logger.putRecipe(session(3), url("g.vrx"), gone, {}));
        run.logger.setBatch(false);
        QCOMPARE(scalar(journal(), "select count(*) from recipes").toInt(), 1);
        QCOMPARE(scalar(journal(), "select session from recipes").toString(), session(1).toString());
    }

    // The copies of one volume from its local files (a camera volume, whose source fetches
    // nothing) are journaled together, and no picture is deleted at the source before the
    // completion of its copy is saved.
    void localCopiesAreSavedBeforeTheSourceFrees()
    {
        Run run(journal());
        run.start();
        run.source.cap = 4;
        run.source.verifyAnswer = true;
        QStandardItemModel items(4, 1);
        QHash<QUuid, int> pictures;
        QList<Recipe> recipes;
        for (int i = 0; i < 4; ++i) {
            recipes << recipe(QStringLiteral("p%1.jpg").arg(i), 4096, "jpg");
            pictures.insert(recipes.at(i).imageUuid, i);
            run.logger.claimIndex("transfer", "cam1", recipes.at(i).imageUuid, items.index(i, 0));
            QVERIFY(run.logger.putRecipe(
                session(1), url(QStringLiteral("one/p%1.jpg").arg(i)), recipes.at(i), {}));
        }
        QTRY_COMPARE(run.source.fetches.size(), 4);
        for (int i = 0; i < 4; ++i)
            run.source.deliver(i);
        // The same pictures into another folder, from the first copies, and freed once there.
        run.source.cap = 0;
        QStringList unsaved;
        run.source.onFree = [&](QUuid image) {
            const QString name = QStringLiteral("two/p%1.jpg").arg(pictures.value(image));
            if (scalar(journal(), "select done from recipes where url like '%/" + name + "'").toInt() != 1)
                unsaved << name;
        };
        for (int i = 0; i < 4; ++i)
            QVERIFY(run.logger.putRecipe(
                session(2), url(QStringLiteral("two/p%1.jpg").arg(i)), recipes.at(i), {}));
        run.logger.setFree(session(2));
        QTRY_COMPARE(run.source.freed.size(), 4);
        QCOMPARE(run.source.fetches.size(), 4);
        QCOMPARE(unsaved, QStringList());
        QCOMPARE(scalar(journal(), "select count(*) from recipes where done=1").toInt(), 8);
    }

    // A copy renamed into place before a kill journaled its completion is taken as done at
    // the next start; a picture that this makes removable is deleted at the source only
    // once the replay is saved.
    void replayedCopySavedBeforeTheSourceFrees()
    {
        const Recipe r = recipe("a.jpg", 10, "jpg");
        {
            Run run(journal());
            QVERIFY(run.logger.putRecipe(session(1), url("r/a.jpg"), r, {}));
            run.logger.setFree(session(1));
        }
        QVERIFY(writeTreeFile(dir.filePath("r/a.jpg"), QByteArray(10, 'x')));
        Run run(journal());
        run.source.verifyAnswer = true;
        QStandardItemModel items(1, 1);
        run.logger.claimIndex("transfer", "cam1", r.imageUuid, items.index(0, 0));
        QVariant doneAtFree;
        run.source.onFree = [&](QUuid) {
            doneAtFree = scalar(journal(), "select done from recipes where url like '%r/a.jpg'");
        };
        run.start();
        QTRY_COMPARE(run.source.freed.size(), 1);
        QCOMPARE(doneAtFree.toInt(), 1);
        QCOMPARE(run.source.fetches.size(), 0);
    }

    // Copies whose completion the journal could not save (a write or the commit of its
    // transaction failed) leave their pictures at the source; once the journal takes
    // writes again (or at the next start) they are saved, and each picture is deleted
    // at the source once.
    void unsavedCompletionsFreeNothing_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("restart");
        QTest::newRow("write refused, saved later") << "write" << false;
        QTest::newRow("commit refused, saved later") << "commit" << false;
        QTest::newRow("commit refused, then a restart") << "commit" << true;
    }

    void unsavedCompletionsFreeNothing()
    {
        QFETCH(QString, fault);
        QFETCH(bool, restart);
        const QList<Recipe> pictures { recipe("a.jpg", 10, "jpg"), recipe("b.jpg", 10, "jpg") };
        QStandardItemModel items(2, 1);
        auto open = [&] {
            auto run = std::make_unique<Run>(journal());
            run->source.cap = 2;
            run->source.verifyAnswer = true;
            for (int i = 0; i < 2; ++i)
                run->logger.claimIndex("transfer", "cam1", pictures.at(i).imageUuid, items.index(i, 0));
            return run;
        };
        auto doneRows
            = [&] { return scalar(journal(), "select count(*) from recipes where done=1").toInt(); };
        QVERIFY(QDir(dir.filePath("f")).removeRecursively());
        auto run = open();
        run->start();
        run->logger.setBatch(true);
        for (int i = 0; i < 2; ++i)
            QVERIFY(run->logger.putRecipe(session(1), url(QString("f/%1.jpg").arg(i)), pictures.at(i), {}));
        run->logger.setFree(session(1));
        run->logger.setBatch(false);
        QTRY_COMPARE(run->source.fetches.size(), 2);

        setFault(journal(), fault);
        // A camera reports its files in a batch; a source may also report one by one.
        const bool batch = fault == "commit";
        if (batch)
            run->logger.setBatch(true);
        run->source.deliver(0);
        run->source.deliver(1);
        if (batch)
            run->logger.setBatch(false);
        // Passes and tries to save come and go while the fault stands.
        QTest::qWait(600);
        settle(run->router);
        QCOMPARE(run->source.freed, QList<QUuid>());
        QCOMPARE(doneRows(), 0);
        QVERIFY(run->logger.unsavedCount() > 0);
        QVERIFY(!run->router.hasRequests());

        QList<QUuid> freed;
        if (restart) {
            // The program ends before the journal is saved: the copies are there, the rows
            // say nothing of them.
            run.reset();
            setFault(journal(), "clear");
            QCOMPARE(doneRows(), 0);
            run = open();
            run->start();
        } else {
            setFault(journal(), "clear");
        }
        QTRY_COMPARE_WITH_TIMEOUT(run->source.freed.size(), 2, 30000);
        settle(run->router);
        freed = run->source.freed;
        std::sort(freed.begin(), freed.end());
        QList<QUuid> expected { pictures.at(0).imageUuid, pictures.at(1).imageUuid };
        std::sort(expected.begin(), expected.end());
        QCOMPARE(freed, expected);
        QCOMPARE(doneRows(), 2);
        QCOMPARE(run->logger.unsavedCount(), 0);
        QCOMPARE(run->source.fetches.size(), restart ? 0 : 2);
    }

    // The journal's disk fills up while pictures are imported to another: what marks them
    // imported is kept and saved once there is room, no source lets go of a picture before
    // that, and the journal stays whole.
    void journalOnAFullDisk()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(dir.filePath("ns"), QStringList { "journalOnAFullDiskInside" });
    }
    void journalOnAFullDiskInside()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs only inside the mount namespace of journalOnAFullDisk");
        const QString data = root + "/data";
        QVERIFY(ostra::test::mountTmpfs("ostra-data", data, "size=1m"));
        const QString journal = data + "/Trans.1.db";
        const QList<Recipe> pictures { recipe("a.jpg", 10, "jpg"), recipe("b.jpg", 10, "jpg") };
        QStandardItemModel items(2, 1);
        Run run(journal);
        run.source.cap = 2;
        run.source.verifyAnswer = true;
        for (int i = 0; i < 2; ++i)
            run.logger.claimIndex("transfer", "cam1", pictures.at(i).imageUuid, items.index(i, 0));
        run.start();
        run.logger.setBatch(true);
        for (int i = 0; i < 2; ++i)
            QVERIFY(run.logger.putRecipe(session(1), url(QString("full/%1.jpg").arg(i)), pictures.at(i), {}));
        run.logger.setFree(session(1));
        run.logger.setBatch(false);
        QTRY_COMPARE(run.source.fetches.size(), 2);

        QVERIFY(ostra::test::fillFileSystem(data));
        run.source.deliver(0);
        run.source.deliver(1);
        settle(run.router);
        QCOMPARE(readFile(dir.filePath("full/0.jpg")).size(), 10);
        QCOMPARE(run.source.freed, QList<QUuid>());
        QVERIFY(run.logger.unsavedCount() > 0);

        QVERIFY(QFile::remove(data + "/filler"));
        QTRY_COMPARE_WITH_TIMEOUT(run.source.freed.size(), 2, 30000);
        QCOMPARE(scalar(journal, "select count(*) from recipes where done=1").toInt(), 2);
        QCOMPARE(scalar(journal, "PRAGMA quick_check").toString(), QStringLiteral("ok"));
        QCOMPARE(run.logger.unsavedCount(), 0);
    }

    // A journal that can't be opened saves nothing: imports still run, and no source
    // deletes a picture that nothing would remember was taken.
    void missingJournalFreesNothing()
    {
        FakeProvider source;
        SpyRouter router;
        RecipeLogger logger;
        router.setMounted(QStorageInfo::mountedVolumes());
        logger.setDelegate(&router);
        logger.setDbConnString(dir.filePath("no such folder/Trans.1.db"));
        QVERIFY(!logger.isOpen());
        IProvider::setPipeline(&source, &logger);
        logger.start();
        QVERIFY(!logger.replaying());
        source.verifyAnswer = true;
        const Recipe r = recipe("m.jpg", 10, "jpg");
        QStandardItemModel items(1, 1);
        logger.claimIndex("transfer", "cam1", r.imageUuid, items.index(0, 0));
        QVERIFY(logger.putRecipe(session(1), url("m/m.jpg"), r, {}));
        logger.setFree(session(1));
        QTRY_COMPARE(source.fetches.size(), 1);
        source.deliver(0);
        settle(router);
        QVERIFY(!router.hasRequests());
        QCOMPARE(readFile(dir.filePath("m/m.jpg")).size(), 10);
        QCOMPARE(source.freed, QList<QUuid>());
    }

    void failedCommitRollsBack()
    {
        Run run(journal());
        QVERIFY(run.logger.putRecipe(session(1), url("l.vrx"), recipe("l", 5), {}));
        {
            // Another writer holds the journal, so the pass cannot write it.
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "writer");
            db.setDatabaseName(journal());
            QVERIFY(db.open());
            QSqlQuery lock(db);
            QVERIFY(lock.exec("begin immediate"));
            run.logger.setBatch(true);
            run.logger.setLive(session(1), false);
            run.logger.setBatch(false);
            QVERIFY(lock.exec("rollback"));
        }
        QSqlDatabase::removeDatabase("writer");
        QCOMPARE(scalar(journal(), "select live from recipes").toInt(), 1);
        // Not left inside a transaction: the next pass writes.
        run.logger.setBatch(true);
        run.logger.setLive(session(1), false);
        run.logger.setBatch(false);
        QCOMPARE(scalar(journal(), "select live from recipes").toInt(), 0);
    }
};

OSTRA_TEST_MAIN(TestRecipeLogger)
#include "tst_recipelogger.moc"

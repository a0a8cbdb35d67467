#include <QDir>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "core/database.h"
#include "library/session.h"
#include "library/sessionlogger.h"
#include "support/testmain.h"

namespace {

// The folders of a session's Roots, in row order, with "-" in front of closing ones.
QStringList rootsOf(Session* session)
{
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
    void init() { m_db = m_dir.filePath(QString("history-%1.db").arg(QTest::currentTestFunction())); }

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
};

OSTRA_TEST_MAIN_CORE(TestSessionLogger)
#include "tst_sessionlogger.moc"

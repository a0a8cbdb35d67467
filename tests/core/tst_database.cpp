#include "support/filetree.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>
#include <QtConcurrent>

#include "core/database.h"
#include "core/texthelpers.h"

namespace {

QStringList capturedWarnings;

void captureWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg || type == QtCriticalMsg)
        capturedWarnings << message;
}

int countRows(QSqlDatabase& db, const QString& table)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM ") + table) || !query.next())
        return -1;
    return query.value(0).toInt();
}

} // namespace

class TestDatabase : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_schema;
    QString m_second;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_schema = m_dir.filePath(QStringLiteral("items.sql"));
        m_second = m_dir.filePath(QStringLiteral("notes.sql"));
        QVERIFY(ostra::test::writeTreeFile(
            m_schema, "CREATE TABLE IF NOT EXISTS items (id INTEGER PRIMARY KEY, name TEXT NOT NULL)"));
        QVERIFY(ostra::test::writeTreeFile(
            m_second, "CREATE TABLE IF NOT EXISTS notes (id INTEGER PRIMARY KEY, body TEXT)"));
    }

    void onePathOpenedTwiceKeepsBothConnections()
    {
        const QString path = m_dir.filePath(QStringLiteral("twice.db"));
        QSqlDatabase first;
        QVERIFY(openDatabase(first, path, m_schema));
        QSqlQuery insertFirst(first);
        QVERIFY(insertFirst.prepare(QStringLiteral("INSERT INTO items (name) VALUES (:name)")));

        QSqlDatabase second;
        QVERIFY(openDatabase(second, path, QStringList { m_schema, m_second }));
        QVERIFY(first.connectionName() != second.connectionName());
        QVERIFY(first.isOpen());

        // The query prepared before the second open still runs on its own connection.
        insertFirst.bindValue(QStringLiteral(":name"), QStringLiteral("from first"));
        QVERIFY(execLogged(insertFirst));
        QSqlQuery insertSecond(second);
        QVERIFY(insertSecond.prepare(QStringLiteral("INSERT INTO items (name) VALUES (:name)")));
        insertSecond.bindValue(QStringLiteral(":name"), QStringLiteral("from second"));
        QVERIFY(execLogged(insertSecond));

        QCOMPARE(countRows(first, QStringLiteral("items")), 2);
        QCOMPARE(countRows(second, QStringLiteral("items")), 2);

        const QString firstName = first.connectionName();
        closeDatabase(first, { &insertFirst });
        QVERIFY(!QSqlDatabase::contains(firstName));
        QCOMPARE(countRows(second, QStringLiteral("items")), 2);
        closeDatabase(second, { &insertSecond });
    }

    void unreadableSchemaFails_data()
    {
        QTest::addColumn<QString>("schema");
        QTest::newRow("missing file") << QStringLiteral("no-such-schema.sql");
        QTest::newRow("missing resource") << QStringLiteral(":/schema/db/no-such.sql");
        QTest::newRow("folder") << QString();
    }

    void unreadableSchemaFails()
    {
        QFETCH(QString, schema);
        schema = schema.startsWith(QLatin1Char(':')) ? schema
            : schema.isEmpty()                       ? m_dir.path()
                                                     : m_dir.filePath(schema);
        const QString path = m_dir.filePath(QStringLiteral("unreadable.db"));
        const QStringList before = QSqlDatabase::connectionNames();
        capturedWarnings.clear();
        auto previous = qInstallMessageHandler(captureWarnings);
        QSqlDatabase db;
        const bool opened = openDatabase(db, path, QStringList { schema, m_second });
        qInstallMessageHandler(previous);
        QVERIFY(!opened);
        QVERIFY(!db.isOpen());
        QCOMPARE(QSqlDatabase::connectionNames(), before);
        QCOMPARE(capturedWarnings.size(), 1);
        QVERIFY(capturedWarnings.first().contains(QStringLiteral("Can't read schema")));

        // The later script was not run either.
        QSqlDatabase check;
        QVERIFY(openDatabase(check, path, QStringList()));
        QVERIFY(check.record(QStringLiteral("notes")).isEmpty());
        closeDatabase(check);
    }

    void unopenableDatabaseFails()
    {
        const QString path = m_dir.filePath(QStringLiteral("no/such/folder/x.db"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Can't open database")));
        const QStringList before = QSqlDatabase::connectionNames();
        QSqlDatabase db;
        QVERIFY(!openDatabase(db, path, m_schema));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(QSqlDatabase::connectionNames(), before);
    }

    void threadsOpenTheSameFileConcurrently()
    {
        const QString path = m_dir.filePath(QStringLiteral("threads.db"));
        constexpr int threads = 4;
        constexpr int rows = 50;
        QVector<QFuture<bool>> futures;
        for (int t = 0; t < threads; ++t) {
            futures << QtConcurrent::run([this, path, t] {
                QSqlDatabase db;
                if (!openDatabase(db, path, m_schema))
                    return false;
                bool ok = true;
                QSqlQuery insert(db);
                ok = ok && insert.prepare(QStringLiteral("INSERT INTO items (name) VALUES (:name)"));
                for (int r = 0; ok && r < rows; ++r) {
                    insert.bindValue(QStringLiteral(":name"), QStringLiteral("%1-%2").arg(t).arg(r));
                    ok = execLogged(insert);
                }
                closeDatabase(db, { &insert });
                return ok;
            });
        }
        for (auto& f : futures)
            QVERIFY(f.result());
        QSqlDatabase db;
        QVERIFY(openDatabase(db, path, m_schema));
        QCOMPARE(countRows(db, QStringLiteral("items")), threads * rows);
        closeDatabase(db);
    }
};

OSTRA_TEST_MAIN_CORE(TestDatabase)
#include "tst_database.moc"

#include "support/testmain.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <csignal>

#include "journalcrashfiles.h"
#include "support/testenvironment.h"

// An import killed with SIGKILL again and again, resumed each time from its journal on
// disk by a child built from the real journal, router and copy workers.
class TestJournalCrash : public QObject
{
    Q_OBJECT
private slots:
    void killedAnywhere_data()
    {
        QTest::addColumn<QString>("where"); // "time", or the transaction a kill lands in
        QTest::newRow("at random times, mostly amid copies") << "time";
        QTest::newRow("inside an open pass transaction") << "pass";
        QTest::newRow("inside a copy group's transaction") << "group";
    }

    void killedAnywhere()
    {
        QFETCH(QString, where);
        const bool inPass = where != "time";
        QTemporaryDir dir;
        const QString journal = dir.filePath("Trans.1.db");
        const QString root = dir.filePath("lib");
        const QString child
            = ostra::test::binaryDir() + QStringLiteral("/tests/pipeline/pipeline_journalcrasher");
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        qInfo() << "seed" << seed;
        // Kills land within the first third of the time a whole import takes on this machine
        // (measured first on a journal and folder of their own), so each run gets a little
        // further and a fast machine is killed mid-import several times too.
        int wholeMs = 150;
        if (!inPass) {
            QTemporaryDir scratch;
            QProcess whole;
            QElapsedTimer timer;
            timer.start();
            whole.start(child, { scratch.filePath("Trans.1.db"), scratch.filePath("lib") });
            QVERIFY(whole.waitForFinished(60000) && whole.exitCode() == 0);
            wholeMs = int(qBound<qint64>(20, timer.elapsed(), 2000));
        }

        int kills = 0;
        QByteArray finalOutput;
        for (int round = 0; round < 60 && finalOutput.isEmpty(); ++round) {
            QStringList arguments { journal, root };
            const bool kill = round < 25;
            if (kill && inPass)
                arguments << QString::number(random.bounded(2));
            if (kill && where == "group")
                arguments << "group";
            QProcess process;
            process.start(child, arguments);
            QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
            if (kill && !inPass && !process.waitForFinished(random.bounded(5, qMax(10, wholeMs / 3)))) {
                ::kill(pid_t(process.processId()), SIGKILL);
                ++kills;
            }
            QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(30000));
            if (process.exitStatus() == QProcess::CrashExit) {
                kills += inPass;
                continue;
            }
            QCOMPARE(process.exitCode(), 0);
            if (kill && kills < 5) {
                // Finished between kills (a loaded machine measures a slow whole import):
                // the import starts again from nothing, so enough kills land amid it.
                for (const char* suffix : { "", "-wal", "-shm" })
                    QFile::remove(journal + suffix);
                QVERIFY(QDir(root).removeRecursively());
                continue;
            }
            finalOutput = process.readAllStandardOutput();
        }
        qInfo() << kills << "kills";
        QVERIFY(kills >= 5);
        // No ticket: our own files, whole or cut off, never count as files in the way.
        QCOMPARE(finalOutput.trimmed(), QByteArray("tickets 0"));
        for (int s = 0; s < 2; ++s) {
            for (int i = 0; i < crashfiles::kCount; ++i) {
                const QString path = crashfiles::path(root, s, i);
                QVERIFY2(
                    crashfiles::read(path) == crashfiles::content(crashfiles::recipe(i)), qPrintable(path));
            }
        }
        QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString name = it.next();
            QVERIFY2(!name.contains(".transfer"), qPrintable(name));
        }
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
            db.setDatabaseName(journal);
            QVERIFY(db.open());
            QSqlQuery query("select count(*), sum(done), count(distinct session || url) from recipes", db);
            QVERIFY(query.next());
            QCOMPARE(query.value(0).toInt(), 2 * crashfiles::kCount);
            QCOMPARE(query.value(1).toInt(), 2 * crashfiles::kCount);
            QCOMPARE(query.value(2).toInt(), 2 * crashfiles::kCount);
        }
        QSqlDatabase::removeDatabase("check");
    }

    // An import that deletes the camera's pictures once their copies are verified, killed
    // again and again: afterwards every file is in the library with its content or still
    // on the camera, and every picture whose copies stayed in place is gone from the
    // camera (the copies that a kill left unverified are verified after the restart).
    void killedWhileFreeingTheCamera_data()
    {
        QTest::addColumn<QString>("story");
        QTest::addColumn<int>("killRounds");
        QTest::newRow("copies verified or not when killed") << "free" << 15;
        QTest::newRow("an earlier import's copies gone") << "earlier" << 15;
        QTest::newRow("copies gone after their verification") << "unmount" << 15;
        QTest::newRow("copies gone after their verification, no kill") << "unmount" << 0;
    }

    void killedWhileFreeingTheCamera()
    {
        QFETCH(QString, story);
        QFETCH(int, killRounds);
        QTemporaryDir dir;
        const QString journal = dir.filePath("Trans.1.db");
        const QString root = dir.filePath("lib");
        const QString child
            = ostra::test::binaryDir() + QStringLiteral("/tests/pipeline/pipeline_journalcrasher");
        for (int i = 0; i < crashfiles::kCount; ++i) {
            QDir().mkpath(root + "/camera");
            QFile file(crashfiles::cameraPath(root, i));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(crashfiles::content(crashfiles::cameraRecipe(i))) > 0);
        }
        auto run = [&](const QString& mode, int killAfterMs, QByteArray* output) {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("OSTRA_CRASH_CAMERA", mode);
            process.setProcessEnvironment(env);
            process.start(child, { journal, root });
            if (!process.waitForStarted())
                return false;
            if (killAfterMs > 0 && !process.waitForFinished(killAfterMs)) {
                ::kill(pid_t(process.processId()), SIGKILL);
                process.waitForFinished(30000);
                return true;
            }
            if ((process.state() != QProcess::NotRunning && !process.waitForFinished(60000))
                || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
                qWarning() << "child failed:" << process.exitStatus() << process.exitCode()
                           << process.readAllStandardError().right(2000);
                return false;
            }
            *output = process.readAllStandardOutput();
            return true;
        };
        QByteArray output;
        if (story == "earlier") {
            // Imported once without deleting, then the folder of that import is gone.
            QVERIFY(run("earlier", 0, &output));
            QCOMPARE(output.trimmed(), QByteArray("tickets 0"));
            for (int i = 0; i < crashfiles::kCount; ++i)
                QVERIFY(QFileInfo::exists(crashfiles::path(root, 0, i)));
            QVERIFY(QDir(root + "/a").removeRecursively());
            output.clear();
        }
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        qInfo() << "seed" << seed;
        int kills = 0;
        for (int round = 0; round < 40 && output.isEmpty(); ++round) {
            const int killAfter = round < killRounds ? random.bounded(5, 80) : 0;
            QVERIFY(run(story == "unmount" ? "unmount" : "free", killAfter, &output));
            kills += output.isEmpty() && killAfter > 0;
        }
        qInfo() << kills << "kills";
        if (killRounds > 0)
            QVERIFY(kills >= 1);
        QCOMPARE(output.trimmed(), QByteArray("tickets 0"));
        for (int i = 0; i < crashfiles::kCount; ++i) {
            const QByteArray expected = crashfiles::content(crashfiles::cameraRecipe(i));
            const bool copied = crashfiles::read(crashfiles::path(root, 1, i)) == expected;
            const bool onCamera = crashfiles::read(crashfiles::cameraPath(root, i)) == expected;
            QVERIFY2(copied || onCamera, qPrintable(QString("file %1 lost").arg(i)));
            // A picture whose copies stayed where they were put is freed on the camera.
            if (story != "unmount" || !crashfiles::sabotaged(i))
                QVERIFY2(copied && !onCamera, qPrintable(QString("file %1 not imported and freed").arg(i)));
        }
        // Each file once in the library: nothing beside the copies but the camera's own
        // cut-off temporary files.
        for (const QString& name : QDir(root + "/b").entryList(QDir::Files | QDir::Hidden)) {
            QVERIFY2(
                name.endsWith(".part") || QRegularExpression("^f\\d+\\.(vrx|jpg)$").match(name).hasMatch(),
                qPrintable(name));
        }
    }
};

OSTRA_TEST_MAIN(TestJournalCrash)
#include "tst_journalcrash.moc"

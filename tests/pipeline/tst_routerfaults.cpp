#include "support/testmain.h"

#include <QProcess>
#include <QStandardPaths>

#include <unistd.h>

#include "pipeline/pipelinemodel.h"
#include "routerfixture.h"
#include "support/childprocess.h"

using namespace routertest;

namespace {

int run(const QString& command)
{
    return QProcess::execute(QStringLiteral("sh"), { QStringLiteral("-c"), command });
}

} // namespace

// Problems of the destination turned into tickets, and the user's answers to them.
class TestRouterFaults : public QObject
{
    Q_OBJECT
private slots:
    void fileWhereTheFolderShouldBe()
    {
        Fixture f;
        QVERIFY(writeFile(f.path("import"), "not a folder"));
        QVERIFY(f.put(1, "import/a.vrx", recipe("a.vrx", 10)));
        QVERIFY(f.put(1, "import/b.vrx", recipe("b.vrx", 10)));
        QTRY_COMPARE(f.router->tickets()->errorType(), QStringLiteral("DirLost"));
        settle();
        QCOMPARE(f.source.fetches.size(), 0);
        QVERIFY(f.router->model()->index(1, 0).data(PipelineModel::ErrFlags).toInt() & IFileSink::DirLost);
        // "Create folder now": the way is cleared, the parent made, the session revived.
        QVERIFY(QFile::remove(f.path("import")));
        f.router->tickets()->mkdirs();
        const TrafficTicket ticket = f.router->tickets()->resolve(false, false);
        QCOMPARE(ticket.scope, int(IFileSink::FolderScope));
        QCOMPARE(f.router->tickets()->count(), 0);
        f.router->revive(ticket);
        QTRY_COMPARE(f.source.fetches.size(), 1);
        QVERIFY(QFileInfo(f.path("import")).isDir());
    }

    // A copy that fails for a reason no ticket can help with is not tried again and
    // again: the file comes from its source instead.
    void failedCopyFallsBackToTheSource()
    {
        Fixture f;
        const QString name = QString(248, QLatin1Char('n')) + ".vrx";
        const Recipe r = recipe(name, 4096);
        f.imported(1, "one/" + name, r);
        QVERIFY(f.put(2, "two/" + name, r));
        QTRY_COMPARE(f.source.fetches.size(), 2);
        QCOMPARE(f.source.fetches.at(1).url, f.url("two/" + name));
        QCOMPARE(f.router->tickets()->count(), 0);
        QVERIFY(QDir(f.path("two")).entryList(QDir::Files).isEmpty());
    }

    // In a private mount namespace over a small tmpfs (see realDisk).
    void tmpfsChild()
    {
        const QString mounted = qEnvironmentVariable("OSTRA_TMPFS_DIR");
        if (mounted.isEmpty())
            QSKIP("runs only as the child of realDisk");
        Fixture f; // made after the mount, so it knows the volume
        FilePerm perm;
        f.router->setFilePerm(&perm);
        const Recipe r = recipe("a.vrx", 100 * 1024);
        f.imported(1, "one/a.vrx", r);
        const QString source = f.path("one/a.vrx");

        // The disk fills up after the check, while the copy waits for its source.
        FileToken held = perm.acquireFileSemaphore(source, FilePerm::kExclusive);
        QVERIFY(f.router->putRecipe(session(2), QUrl::fromLocalFile(mounted + "/a.vrx"), r, Arbiter()));
        QTRY_COMPARE(f.router->inFlightCount(), 1);
        QVERIFY(writeFile(mounted + "/filler", QByteArray(200 * 1024, 'f')));
        held.reset();
        QTRY_COMPARE(f.router->tickets()->errorType(), QStringLiteral("NoSpace"));
        settle();
        QCOMPARE(f.router->inFlightCount(), 0);
        QCOMPARE(f.source.fetches.size(), 1); // not fetched, not copied again
        QVERIFY(!QFileInfo::exists(mounted + "/a.vrx"));
        QCOMPARE(QDir(mounted).entryList(QDir::Files | QDir::Hidden), QStringList { "filler" });

        // "Retry" once there is room again.
        QVERIFY(QFile::remove(mounted + "/filler"));
        f.router->revive(f.router->tickets()->resolve());
        QTRY_COMPARE(readFile(mounted + "/a.vrx"), readFile(source));
        QCOMPARE(f.source.fetches.size(), 1);

        // Turned read-only while the next copy waits (for either of its two sources).
        held = perm.acquireFileSemaphore(source, FilePerm::kExclusive);
        FileToken other = perm.acquireFileSemaphore(mounted + "/a.vrx", FilePerm::kExclusive);
        QVERIFY(f.router->putRecipe(session(3), QUrl::fromLocalFile(mounted + "/b.vrx"), r, Arbiter()));
        QTRY_COMPARE(f.router->inFlightCount(), 1);
        QCOMPARE(run(QStringLiteral("mount -o remount,ro '%1'").arg(mounted)), 0);
        held.reset();
        other.reset();
        QTRY_COMPARE(f.router->tickets()->errorType(), QStringLiteral("NoWrite"));
        settle();
        QCOMPARE(f.router->inFlightCount(), 0);
        // A read-only volume found by the next check is a lost drive.
        f.router->revive(f.router->tickets()->resolve());
        QTRY_COMPARE(f.router->tickets()->errorType(), QStringLiteral("NoDrive"));
    }

    void realDisk()
    {
        if (!qEnvironmentVariable("OSTRA_TMPFS_DIR").isEmpty())
            QSKIP("already the child");
        const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
        if (::geteuid() != 0 || unshare.isEmpty())
            QSKIP("needs root and unshare to mount a small tmpfs");
        QTemporaryDir dir;
        const QString mountPoint = dir.filePath("tiny");
        QVERIFY(QDir().mkpath(mountPoint));
        qputenv("OSTRA_TMPFS_DIR", mountPoint.toLocal8Bit());
        ostra::test::Child child(unshare,
            { "-m", "--propagation", "private", "sh", "-c",
                "mount -t tmpfs -o size=256k tmpfs \"$OSTRA_TMPFS_DIR\" || exit 77; exec \"$0\" tmpfsChild",
                QCoreApplication::applicationFilePath() });
        qunsetenv("OSTRA_TMPFS_DIR");
        QVERIFY(child.finish(120000));
        if (child.exitCode() == 77)
            QSKIP("cannot mount a tmpfs here");
        const QByteArray output = child.out() + child.err();
        QVERIFY2(child.exitCode() == 0, output.constData());
        QVERIFY2(output.contains("PASS   : TestRouterFaults::tmpfsChild()"), output.constData());
        QVERIFY(QDir(mountPoint).isEmpty());
    }
};

OSTRA_TEST_MAIN(TestRouterFaults)
#include "tst_routerfaults.moc"

// The engine's pool and the compressor size themselves by the CPUs the process may use: a
// narrowed affinity mask and a cgroup CPU quota both count.
#include <QtTest>

#include <QTemporaryDir>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ciapi/cpucount.h"
#include "ciapi/render/workerpool.h"
#include "support/filetree.h"
#include "support/testmain.h"

using namespace CIAPI;

class TestCpuCount : public QObject
{
    Q_OBJECT

private slots:
    // A child process restricted to `allowed` CPUs sees that many, and a pool it starts has
    // that many workers.
    void affinityOfAChild()
    {
        cpu_set_t mine;
        QCOMPARE(sched_getaffinity(0, sizeof mine, &mine), 0);
        const int available = CPU_COUNT(&mine);
        for (int allowed : { 1, 2 }) {
            if (allowed > available)
                QSKIP("fewer CPUs than the case needs");
            const pid_t child = fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                cpu_set_t set;
                CPU_ZERO(&set);
                for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < allowed; ++cpu)
                    if (CPU_ISSET(cpu, &mine)) {
                        CPU_SET(cpu, &set);
                        ++taken;
                    }
                if (sched_setaffinity(0, sizeof set, &set) != 0)
                    _exit(100);
                render::WorkerPool pool;
                pool.submit([] {});
                const int seen = usableCpuCount(), workers = pool.threadCount();
                pool.shutdown();
                _exit(seen == allowed && workers == allowed ? 0 : 10 + seen);
            }
            int status = 0;
            QCOMPARE(waitpid(child, &status, 0), child);
            QVERIFY(WIFEXITED(status));
            QCOMPARE(WEXITSTATUS(status), 0);
        }
        QVERIFY(usableCpuCount() <= available);
    }

    void cgroupQuota_data()
    {
        QTest::addColumn<QString>("cgroupList");
        QTest::addColumn<QStringList>("files"); // path=content
        QTest::addColumn<int>("limit");
        QTest::newRow("v2 none") << "0::/a/b\n" << QStringList { "a/b/cpu.max=max 100000" } << 0;
        QTest::newRow("v2 quota rounds up") << "0::/a/b\n"
                                            << QStringList { "a/b/cpu.max=150000 100000" } << 2;
        QTest::newRow("v2 parent lower")
            << "0::/a/b\n"
            << QStringList { "a/b/cpu.max=400000 100000", "a/cpu.max=100000 100000" } << 1;
        QTest::newRow("v2 at the root") << "0::/\n" << QStringList { "cpu.max=300000 100000" } << 3;
        QTest::newRow("v1 quota") << "4:memory:/x\n2:cpu,cpuacct:/job\n"
                                  << QStringList { "cpu/job/cpu.cfs_quota_us=250000",
                                         "cpu/job/cpu.cfs_period_us=100000" }
                                  << 3;
        QTest::newRow("v1 unlimited")
            << "2:cpu,cpuacct:/job\n"
            << QStringList { "cpu/job/cpu.cfs_quota_us=-1", "cpu/job/cpu.cfs_period_us=100000" } << 0;
        QTest::newRow("garbage") << "nonsense\n0::/a\n" << QStringList { "a/cpu.max=abc" } << 0;
    }
    void cgroupQuota()
    {
        QFETCH(QString, cgroupList);
        QFETCH(QStringList, files);
        QFETCH(int, limit);
        QTemporaryDir root;
        for (const QString& f : files)
            QVERIFY(
                ostra::test::writeTreeFile(root.filePath(f.section('=', 0, 0)), f.section('=', 1).toUtf8()));
        QCOMPARE(cgroupCpuLimit(cgroupList.toStdString(), root.path().toStdString()), limit);
    }
};

OSTRA_TEST_MAIN_CORE(TestCpuCount)
#include "tst_cpucount.moc"

#include "support/filetree.h"
#include "support/mountnamespace.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtConcurrent>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/nativefilecopy.h"

namespace {

// The real calls, with failures the test asks for.
class FaultyCalls : public IFileCalls
{
public:
    int rangeCallsBeforeFailure = -1; // -1: never fail; the failure is ENOSPC
    int fsyncError = 0;
    int rangeCalls = 0;
    bool noRange = false; // the kernel cannot copy ranges between these files
    QStringList events; // writeback hints and syncs, in order

    ssize_t copyFileRange(int in, int out, size_t length) override
    {
        if (noRange) {
            errno = EXDEV;
            return -1;
        }
        if (rangeCallsBeforeFailure >= 0 && rangeCalls++ >= rangeCallsBeforeFailure) {
            errno = ENOSPC;
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
        return systemFileCalls().write(fd, buffer, length);
    }
    void startWriteback(int fd, off_t offset, off_t length) override
    {
        events << QStringLiteral("writeback %1 %2").arg(offset).arg(length);
        IFileCalls::startWriteback(fd, offset, length);
    }
    int fsync(int fd) override
    {
        events << QStringLiteral("fsync");
        if (fsyncError) {
            errno = fsyncError;
            return -1;
        }
        return systemFileCalls().fsync(fd);
    }
};

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

constexpr int kBig = 3 * 1024 * 1024 + 123;

} // namespace

class TestNativeFileCopy : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_source;
    QByteArray m_content;

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_source = path(QStringLiteral("source.vrx"));
        m_content = randomBytes(kBig, 7);
        QVERIFY(ostra::test::writeTreeFile(m_source, m_content));
        QVERIFY(::chmod(QFile::encodeName(m_source).constData(), 0640) == 0);
        const struct timespec times[2] = { { 1000000000, 250000000 }, { 978307200, 123456789 } };
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(m_source).constData(), times, 0) == 0);
    }

    void copiesContentModeAndTime()
    {
        const QString target = path(QStringLiteral("copy.vrx"));
        NativeFileCopy copy;
        QVERIFY(copy.copy(m_source, target));
        QCOMPARE(copy.error(), 0);
        QCOMPARE(readFile(target), m_content);
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(target).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), 0640);
        QCOMPARE(qint64(st.st_mtim.tv_sec), qint64(978307200));
        QCOMPARE(qint64(st.st_mtim.tv_nsec), qint64(123456789));
    }

    // A large file is handed to the disk chunk by chunk as it is copied, so that the sync
    // at its end waits for less; the sync still comes last, and the copy is whole.
    void largeFileGoesToTheDiskAsItIsCopied_data()
    {
        QTest::addColumn<bool>("noRange");
        QTest::newRow("copied in ranges") << false;
        QTest::newRow("read and written") << true;
    }

    void largeFileGoesToTheDiskAsItIsCopied()
    {
        QFETCH(bool, noRange);
        const QString target = path(QStringLiteral("written back.vrx"));
        QFile::remove(target);
        FaultyCalls calls;
        calls.noRange = noRange;
        NativeFileCopy copy(calls);
        QVERIFY(copy.copy(m_source, target));
        QCOMPARE(readFile(target), m_content);
        // Three whole chunks of 1 MiB, then the rest, which the sync takes.
        QCOMPARE(calls.events,
            (QStringList {
                "writeback 0 1048576", "writeback 1048576 1048576", "writeback 2097152 1048576", "fsync" }));
    }

    void neverOverwrites()
    {
        const QString target = path(QStringLiteral("existing.vrx"));
        QVERIFY(ostra::test::writeTreeFile(target, "keep me"));
        NativeFileCopy copy;
        QVERIFY(!copy.copy(m_source, target));
        QCOMPARE(copy.error(), EEXIST);
        QCOMPARE(errno, EEXIST);
        QCOMPARE(readFile(target), QByteArray("keep me"));
    }

    void badSourcesLeaveNoTarget_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("error");
        QTest::newRow("missing") << QStringLiteral("missing.vrx") << int(ENOENT);
        QTest::newRow("folder") << QString() << int(EISDIR);
    }

    void badSourcesLeaveNoTarget()
    {
        QFETCH(QString, source);
        QFETCH(int, error);
        source = source.isEmpty() ? m_dir.path() : path(source);
        const QString target = path(QStringLiteral("never.vrx"));
        NativeFileCopy copy;
        QVERIFY(!copy.copy(source, target));
        QCOMPARE(copy.error(), error);
        QVERIFY(!QFileInfo::exists(target));
    }

    void faultsLeaveNothing_data()
    {
        QTest::addColumn<int>("rangeCallsBeforeFailure");
        QTest::addColumn<int>("fsyncError");
        QTest::addColumn<int>("error");
        // One chunk lands, then the disk is full.
        QTest::newRow("full disk mid copy") << 1 << 0 << int(ENOSPC);
        QTest::newRow("failed sync") << -1 << int(EIO) << int(EIO);
    }

    void faultsLeaveNothing()
    {
        QFETCH(int, rangeCallsBeforeFailure);
        QFETCH(int, fsyncError);
        QFETCH(int, error);
        const QString target = path(QStringLiteral("faulty.vrx"));
        FaultyCalls calls;
        calls.rangeCallsBeforeFailure = rangeCallsBeforeFailure;
        calls.fsyncError = fsyncError;
        NativeFileCopy copy(calls);
        QVERIFY(!copy.copy(m_source, target));
        QCOMPARE(copy.error(), error);
        QCOMPARE(errno, error);
        QVERIFY(!QFileInfo::exists(target));
    }

    void racingCopiesToOneTargetHaveOneWinner()
    {
        const QString other = path(QStringLiteral("other.vrx"));
        const QByteArray otherContent = randomBytes(kBig, 99);
        QVERIFY(ostra::test::writeTreeFile(other, otherContent));
        for (int round = 0; round < 20; ++round) {
            const QString target = path(QStringLiteral("race-%1.vrx").arg(round));
            const auto copyFrom = [&target](const QString& source) {
                NativeFileCopy copy;
                return copy.copy(source, target) ? 0 : copy.error();
            };
            QFuture<int> a = QtConcurrent::run(copyFrom, m_source);
            QFuture<int> b = QtConcurrent::run(copyFrom, other);
            const int ra = a.result();
            const int rb = b.result();
            QVERIFY2((ra == 0) != (rb == 0), qPrintable(QStringLiteral("%1 %2").arg(ra).arg(rb)));
            QCOMPARE(ra == 0 ? rb : ra, int(EEXIST));
            QCOMPARE(readFile(target), ra == 0 ? m_content : otherContent);
        }
    }

    void copyIntoFullTmpfs()
    {
        const QString base = ostra::test::mountNamespaceFolder();
        if (base.isEmpty())
            QSKIP("runs in a mount namespace (fullRealDiskLeavesNothing)");
        const QString mounted = base + QStringLiteral("/tiny");
        QVERIFY(ostra::test::mountTmpfs(QStringLiteral("ostra-tiny"), mounted));
        NativeFileCopy copy;
        QVERIFY(!copy.copy(m_source, mounted + QStringLiteral("/copy.vrx")));
        QCOMPARE(copy.error(), ENOSPC);
        QVERIFY(QDir(mounted).isEmpty());
        // The space is free again: a small file fits.
        const QString small = path(QStringLiteral("small.bin"));
        QVERIFY(ostra::test::writeTreeFile(small, randomBytes(4096, 3)));
        QVERIFY(copy.copy(small, mounted + QStringLiteral("/small.bin")));
    }

    void fullRealDiskLeavesNothing()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(m_dir.path(), QStringList { "copyIntoFullTmpfs" });
        // Nothing was left on the real folder under the mount point either.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("tiny/copy.vrx"))));
    }
};

OSTRA_TEST_MAIN_CORE(TestNativeFileCopy)
#include "tst_nativefilecopy.moc"

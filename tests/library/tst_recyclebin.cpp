#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>

#include "engine/fileperm.h"
#include "engine/streamsource.h"
#include "engine/vrxcompress.h"
#include "library/recyclebin.h"
#include "platform/freedesktoptrash.h"
#include "support/filetree.h"
#include "support/mountnamespace.h"
#include "support/picturefiles.h"
#include "support/rawsamples.h"
#include "support/testmain.h"

namespace {

void touch(const QString& path)
{
    QVERIFY(ostra::test::writeTreeFile(path, "x"));
}

QStringList trashed()
{
    return QDir(FreedesktopTrash::homeTrash() + "/files").entryList(QDir::Files, QDir::Name);
}

} // namespace

class TestRecycleBin : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void cleanup() { QDir(FreedesktopTrash::homeTrash()).removeRecursively(); }

    // The picture goes with its state file and its low-resolution copies, and nothing else.
    void sideFiles_data()
    {
        QTest::addColumn<QString>("lowRes");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("low") << "low"
                             << QStringList({ "IMG_0001.jpg", "IMG_0001.vrx", "IMG_0001.vrxs",
                                    "IMG_0001.vrxs.unreadable", "IMG_0001.vrxs.unreadable2",
                                    "IMG_0001_1.jpg" });
        QTest::newRow("missing folder") << "none"
                                        << QStringList({ "IMG_0001.vrx", "IMG_0001.vrxs",
                                               "IMG_0001.vrxs.unreadable", "IMG_0001.vrxs.unreadable2" });
    }
    void sideFiles()
    {
        QFETCH(QString, lowRes);
        QFETCH(QStringList, expected);
        const QString folder = m_dir.filePath(QTest::currentDataTag());
        for (const char* name : { "IMG_0001.vrx", "IMG_0001.vrxs", "IMG_0001.vrxs.unreadable",
                 "IMG_0001.vrxs.unreadable2", "IMG_0002.vrx", "IMG_0002.vrxs.unreadable", "low/IMG_0001.jpg",
                 "low/IMG_0001_1.jpg", "low/IMG_0002.jpg" })
            touch(folder + "/" + name);
        FilePerm perm;
        RecycleBin bin;
        bin.setFilePerm(&perm);
        bin.setLowResFolder(lowRes);
        QVERIFY(bin.recycleImage(QUrl::fromLocalFile(folder + "/IMG_0001.vrx")));
        QCOMPARE(trashed(), expected);
        QVERIFY(QFile::exists(folder + "/IMG_0002.vrx"));
        QVERIFY(QFile::exists(folder + "/IMG_0002.vrxs.unreadable"));
        QVERIFY(QFile::exists(folder + "/low/IMG_0002.jpg"));
    }

    // A picture that cannot be moved (here a mount on it) stays with its state file and
    // copies: its edits are never sent to the bin without it.
    void pictureThatStaysKeepsItsSideFiles()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(m_dir.path(), QStringList { QStringLiteral("pictureThatStaysInside") });
    }
    void pictureThatStaysInside()
    {
        if (ostra::test::mountNamespaceFolder().isEmpty())
            QSKIP("runs only inside the mount namespace of pictureThatStaysKeepsItsSideFiles");
        const QString folder = ostra::test::mountNamespaceFolder() + QStringLiteral("/stays #1");
        for (const char* name : { "IMG_0001.vrx", "IMG_0001.vrxs", "low/IMG_0001.jpg" })
            touch(folder + "/" + name);
        const QString picture = folder + "/IMG_0001.vrx";
        QVERIFY(ostra::test::shell(QStringLiteral("mount --bind '%1' '%1'").arg(picture)));
        FilePerm perm;
        RecycleBin bin;
        bin.setFilePerm(&perm);
        bin.setLowResFolder(QStringLiteral("low"));
        QVERIFY(!bin.recycleImage(QUrl::fromLocalFile(picture)));
        QVERIFY(QFile::exists(picture));
        QVERIFY(QFile::exists(folder + "/IMG_0001.vrxs"));
        QVERIFY(QFile::exists(folder + "/low/IMG_0001.jpg"));
        QCOMPARE(trashed(), QStringList());
        QVERIFY(ostra::test::shell(QStringLiteral("umount '%1'").arg(picture)));
        QVERIFY(bin.recycleImage(QUrl::fromLocalFile(picture)));
        QCOMPARE(trashed(), QStringList({ "IMG_0001.jpg", "IMG_0001.vrx", "IMG_0001.vrxs" }));
    }

    // A picture sent to the bin while its compression waits to put the result in its place
    // (a viewer still holds the file): whichever of the two goes first, the bin gets the
    // whole picture (the original or its verified compressed form, with the same samples)
    // and nothing of the compression is left beside it.
    void binnedWhileCompressed()
    {
        const QString folder = m_dir.filePath(QStringLiteral("compressing"));
        auto options = ostra::test::PictureFiles::small(5);
        options.frames = 3;
        QVERIFY(QDir().mkpath(folder));
        const QString path
            = ostra::test::PictureFiles::write(folder, QStringLiteral("IMG_0005.vrx"), options);
        QVERIFY(!path.isEmpty());
        const auto samples = ostra::test::rawSamplesOf(path);
        const QUrl url = QUrl::fromLocalFile(path);
        FilePerm perm;
        FileToken viewer = perm.acquireFileSemaphore(path, FilePerm::kShared);
        QVERIFY(viewer);
        QSemaphore verified;
        VrxCompress::setProbe([&](const char* at) {
            if (qstrcmp(at, "verified") == 0)
                verified.release();
        });
        QThread thread;
        thread.start();
        VrxMetadata record;
        record.location = url;
        record.invalid = false;
        auto* job = new VrxCompress(&perm, 0.4f, 98, record, std::make_shared<StreamSource>(url));
        std::atomic<bool> completed { false };
        connect(
            job, &VrxCompress::complete, job, [&] { completed = true; }, Qt::DirectConnection);
        job->moveToThread(&thread);
        QMetaObject::invokeMethod(job, "compress", Qt::QueuedConnection);
        QVERIFY(verified.tryAcquire(1, 60000));

        RecycleBin bin;
        bin.setFilePerm(&perm);
        bin.setBusyWaitMs(30000);
        QTimer::singleShot(100, [&viewer] { viewer.reset(); });
        QVERIFY(bin.recycleImage(url));
        QTRY_VERIFY_WITH_TIMEOUT(completed.load(), 60000);
        thread.quit();
        QVERIFY(thread.wait(60000));
        VrxCompress::setProbe({});
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(trashed(), QStringList { QStringLiteral("IMG_0005.vrx") });
        QVERIFY(ostra::test::rawSamplesOf(FreedesktopTrash::homeTrash() + "/files/IMG_0005.vrx") == samples);
    }

    // A file someone reads is not taken away: the bin waits a bounded time, letting this
    // thread's holders let go, and gives up when the file stays busy.
    void busyFile()
    {
        const QString path = m_dir.filePath("busy/IMG_0003.vrx");
        touch(path);
        FilePerm perm;
        RecycleBin bin;
        bin.setFilePerm(&perm);
        bin.setBusyWaitMs(300);
        FileToken reader = perm.acquireFileSemaphore(path, FilePerm::kShared);
        QVERIFY(reader);
        QVERIFY(!bin.recycleImage(QUrl::fromLocalFile(path)));
        QVERIFY(QFile::exists(path));

        // A holder that lets go from this thread's event loop.
        QTimer::singleShot(50, [&reader] { reader.reset(); });
        QVERIFY(bin.recycleImage(QUrl::fromLocalFile(path)));
        QVERIFY(!QFile::exists(path));
    }
};

OSTRA_TEST_MAIN_CORE(TestRecycleBin)
#include "tst_recyclebin.moc"

#include "support/mountnamespace.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include "capture/targetfolder.h"
#include "pipeline/interfaces/findvolumeforpath.h"

class TestTargetFolder : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;

private slots:
    void rootsMatchAtFolderBoundaries_data()
    {
        QTest::addColumn<QStringList>("roots");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("found");
        QTest::newRow("sibling prefix") << QStringList { "/media/u/CAM" } << "/media/u/CAM2/x" << -1;
        QTest::newRow("the root itself")
            << QStringList { "/media/u/CAM", "/media/u/CAM2" } << "/media/u/CAM" << 0;
        QTest::newRow("longest wins")
            << QStringList { "/", "/media/u/CAM", "/media" } << "/media/u/CAM/DCIM" << 1;
        QTest::newRow("system root") << QStringList { "/media/u/CAM", "/" } << "/home/u/Pictures" << 1;
        QTest::newRow("root with slash") << QStringList { "/media/u/CAM/" } << "/media/u/CAM/x" << 0;
        QTest::newRow("none") << QStringList { "/media/u/CAM", "" } << "/home/u" << -1;
    }

    void rootsMatchAtFolderBoundaries()
    {
        QFETCH(QStringList, roots);
        QFETCH(QString, path);
        QFETCH(int, found);
        QCOMPARE(findRootForPath(roots, path), found);
    }

    void newFolderFindsItsVolumeOnceCreated()
    {
        const QString base = ostra::test::mountNamespaceFolder();
        if (base.isEmpty())
            QSKIP("runs in a mount namespace (inPrivateMountNamespace)");
        // A sibling whose name begins this one's must not take its place.
        const QString card = base + "/CARD2";
        QVERIFY(ostra::test::mountTmpfs("card", base + "/CARD", "size=2m"));
        QVERIFY(ostra::test::mountTmpfs("card2", card, "size=512k"));
        TargetFolder folder;
        QSignalSpy attributes(&folder, &TargetFolder::attribChanged);
        folder.setPath(card + "/2026/import");
        // Not there yet: it sits on the root volume until it exists.
        QCOMPARE(folder.storage().rootPath(), QStringLiteral("/"));
        QVERIFY(!folder.exists());
        QVERIFY(folder.create());
        QVERIFY(folder.exists());
        QVERIFY(folder.writable());
        QCOMPARE(folder.storage().rootPath(), card);
        QVERIFY(folder.freeSpace() <= 512 * 1024);
        QCOMPARE(attributes.count(), 2);

        // Mounted over after it was set: found again when asked.
        folder.setPath(base + "/later");
        QVERIFY(QDir().mkpath(base + "/later"));
        QVERIFY(ostra::test::mountTmpfs("later", base + "/later"));
        folder.queryAttributes();
        QCOMPARE(folder.storage().rootPath(), base + "/later");
        QCOMPARE(QString::fromLatin1(folder.storage().device()), QStringLiteral("later"));
    }

    void inPrivateMountNamespace()
    {
        QVERIFY(m_dir.isValid());
        OSTRA_RUN_IN_MOUNT_NAMESPACE(m_dir.path(), QStringList { "newFolderFindsItsVolumeOnceCreated" });
    }
};

OSTRA_TEST_MAIN_CORE(TestTargetFolder)
#include "tst_targetfolder.moc"

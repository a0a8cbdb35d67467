#include "support/testmain.h"

#include "pipeline/interfaces/findvolumeforpath.h"

class TestTargetFolder : public QObject
{
    Q_OBJECT
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
};

OSTRA_TEST_MAIN_CORE(TestTargetFolder)
#include "tst_targetfolder.moc"

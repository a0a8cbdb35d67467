// The QML helper objects: names refused or taken by the validator, free space of the
// right volume, writability of folders that do not exist yet, the texts of sizes and counts.
#include "support/mountnamespace.h"
#include "support/testmain.h"

#include <QDir>
#include <QTemporaryDir>

#include "app/filenamevalidator.h"
#include "app/utils.h"

class TestQmlHelpers : public QObject
{
    Q_OBJECT

private slots:
    void validator_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("subfolders");
        QTest::addColumn<int>("state");
        const int inter = QValidator::Intermediate, bad = QValidator::Invalid, good = QValidator::Acceptable;
        QTest::newRow("empty") << "" << true << inter;
        QTest::newRow("dot") << "." << true << inter;
        QTest::newRow("three dots") << "..." << false << bad;
        QTest::newRow("existing file") << "a" << true << bad;
        QTest::newRow("existing folder") << "sub" << false << bad;
        QTest::newRow("new name") << "b" << false << good;
        QTest::newRow("name with suffix") << "b.txt" << false << bad;
        QTest::newRow("sub-path") << "sub/b" << true << good;
        QTest::newRow("sub-path, no subfolders") << "sub/b" << false << bad;
        QTest::newRow("sub-path, existing") << "sub/c" << true << bad;
        QTest::newRow("sub-path, missing folder") << "none/b" << true << bad;
        QTest::newRow("climbs out") << "../b" << true << bad;
        QTest::newRow("absolute") << "/tmp/ostra-validator-b" << true << bad;
    }

    void validator()
    {
        QFETCH(QString, input);
        QFETCH(bool, subfolders);
        QFETCH(int, state);
        QTemporaryDir base;
        QVERIFY(QDir(base.path()).mkdir("sub"));
        for (const char* name : { "a", "sub/c" }) {
            QFile file(base.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        FilenameValidator validator;
        validator.setBaseFolder(base.path());
        validator.setAllowSubfolders(subfolders);
        int position = 0;
        QCOMPARE(int(validator.validate(input, position)), state);
    }

    // A tree of missing folders is climbed to the nearest folder that exists, and a climb
    // from a path under a file or from the root ends.
    void writableClimb()
    {
        QTemporaryDir base;
        Utils utils;
        QVERIFY(utils.isDirWritable(base.filePath("x/y/z")));
        QCOMPARE(Utils::nearestExisting(base.filePath("x/y/z")), base.path());
        QCOMPARE(Utils::nearestExisting("/ostra-missing/a/b"), QStringLiteral("/"));
        QCOMPARE(Utils::nearestExisting("relative-missing/a"), QDir::currentPath());
        QFile file(base.filePath("f"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(!utils.isDirWritable(base.filePath("f/g/h")) && !utils.isDirWritable(QString()));
    }

    void spaceFreeAtFolderBoundary()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(QDir::tempPath(), { "mountedBoundary" });
    }

    // Two volumes whose roots begin alike: each path answers with its own volume's space.
    void mountedBoundary()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs in a mount namespace (spaceFreeAtFolderBoundary)");
        QTemporaryDir base(root + "/ostra-space-XXXXXX");
        QVERIFY(ostra::test::mountTmpfs("cam", base.filePath("CAM"), "size=1m"));
        QVERIFY(ostra::test::mountTmpfs("cam2", base.filePath("CAM2"), "size=8m"));
        Utils utils;
        const qlonglong small = utils.estimateSpaceFree(base.filePath("CAM/x"));
        const qlonglong large = utils.estimateSpaceFree(base.filePath("CAM2/x"));
        QVERIFY2(small > 0 && small <= 1024 * 1024, qPrintable(QString::number(small)));
        QVERIFY2(large > 4 * 1024 * 1024 && large <= 8 * 1024 * 1024, qPrintable(QString::number(large)));
        QCOMPARE(utils.estimateSpaceFree(base.filePath("CAM2")), large);
        QCOMPARE(Utils::estimateSpaceFree({}, base.filePath("CAM/x")), QStorageInfo().bytesFree());
        ostra::test::shell(QString("umount '%1' '%2'").arg(base.filePath("CAM"), base.filePath("CAM2")));
    }

    // Sizes in the unit that reads best, rounding carried into the next unit; counts with
    // the noun that agrees.
    void sizeAndCountTexts_data()
    {
        QTest::addColumn<qlonglong>("bytes");
        QTest::addColumn<QString>("size");
        QTest::newRow("one byte") << 1LL << "1 byte";
        QTest::newRow("bytes") << 1023LL << "1,023 bytes";
        QTest::newRow("a 12 KB video") << 12LL * 1024 + 100 << "12 KB";
        QTest::newRow("just under a megabyte") << 1024LL * 1024 - 1 << "1.0 MB";
        QTest::newRow("megabytes") << 1536LL * 1024 << "1.5 MB";
        QTest::newRow("ticket's free space") << 103092LL << "101 KB";
        QTest::newRow("gigabytes") << 3LL * 1024 * 1024 * 1024 + 200LL * 1024 * 1024 << "3.2 GB";
        QTest::newRow("unknown") << -1LL << "unknown";
    }

    void sizeAndCountTexts()
    {
        QFETCH(qlonglong, bytes);
        QFETCH(QString, size);
        Utils utils;
        QCOMPARE(utils.sizeText(bytes), size);
        QCOMPARE(utils.countText(1, "picture", "pictures"), QStringLiteral("1 picture"));
        QCOMPARE(utils.countText(0, "picture", "pictures"), QStringLiteral("0 pictures"));
        QCOMPARE(utils.countText(2000, "item", "items"), QStringLiteral("2,000 items"));
    }
};

OSTRA_TEST_MAIN(TestQmlHelpers)
#include "tst_qmlhelpers.moc"

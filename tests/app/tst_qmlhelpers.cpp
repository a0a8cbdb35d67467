// The QML helper objects: names refused or taken by the validator, free space of the
// right volume, writability of folders that do not exist yet.
#include "support/mountnamespace.h"
#include "support/testmain.h"

#include <QDir>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QTemporaryDir>

#include <memory>

#include "app/filenamevalidator.h"
#include "app/typeregistration.h"
#include "app/utils.h"

class TestQmlHelpers : public QObject
{
    Q_OBJECT

private slots:
    // Folder names that a URL would read as a fragment, an escape or a query: the URL the
    // QML builds for a path names that very folder.
    void fileUrlOfOddFolders_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* name : { "Trip #2", "100% done", "%23 escaped", "what?", "a%2Fb", "plain" })
            QTest::newRow(name) << QString::fromUtf8(name);
    }
    void fileUrlOfOddFolders()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString folder = dir.path() + "/" + name;
        QVERIFY(QDir().mkpath(folder));
        static const bool registered = [] {
            ostra::registerQmlTypes();
            return true;
        }();
        Q_UNUSED(registered);
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData("import QtQuick 2.15\nimport com.quelt.ostra 2.0\n"
                          "QtObject { property string path; readonly property url url: Utils.fileUrl(path) }",
            QUrl());
        std::unique_ptr<QObject> object(component.create());
        QVERIFY2(object, qPrintable(component.errorString()));
        object->setProperty("path", folder);
        const QUrl url = object->property("url").toUrl();
        QVERIFY(url.isLocalFile());
        QCOMPARE(url.toLocalFile(), folder);
        QVERIFY(QFileInfo(url.toLocalFile()).isDir());
        QCOMPARE(Utils().fileUrl(QString()), QUrl());
    }

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
};

OSTRA_TEST_MAIN(TestQmlHelpers)
#include "tst_qmlhelpers.moc"

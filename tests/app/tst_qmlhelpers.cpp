// The QML helper objects: names refused or taken by the validator, free space of the
// right volume, writability of folders that do not exist yet, the texts of sizes and counts, URLs
// and paths with hostile characters, texts read from files and resources, and the registered QML types.
#include "support/eventloopturns.h"
#include "support/fakevolumes.h"
#include "support/heldmount.h"
#include "support/heldopens.h"
#include "support/mountnamespace.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

#include <QDir>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>

#include "app/defaultfont.h"
#include "app/filenamevalidator.h"
#include "app/textloader.h"
#include "app/typeregistration.h"
#include "app/utils.h"
#include "display/imageedit.h"
#include "platform/mountinfosource.h"

#include <QFont>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTextStream>
#include <QTimer>

namespace {

// The free space that the worker answers for the path.
qlonglong spaceFree(Utils& utils, const QString& path, Volumes* volumes)
{
    QSignalSpy answers(&utils, &Utils::spaceFreeKnown);
    utils.askSpaceFree(path, volumes);
    if (!answers.wait(10000) || answers.at(0).at(0).toString() != path)
        return -2;
    return answers.at(0).at(1).toLongLong();
}

} // namespace

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
        QSignalSpy changed(&validator, &QValidator::changed);
        int position = 0;
        QValidator::State got = validator.validate(input, position);
        if (got == QValidator::Intermediate && state != int(QValidator::Intermediate)) {
            // What the disk says of the name comes in off the GUI thread.
            QTRY_VERIFY(changed.count() > 0);
            got = validator.validate(input, position);
        }
        QCOMPARE(int(got), state);
    }

    // A name typed for a folder on a drive that hangs: the event loop turns while the drive
    // holds the look at it, the name is not accepted meanwhile, and the answer is taken
    // once it comes. An answer for a folder left meanwhile is not taken for the new one.
    void validatorAsksTheDiskOffTheGuiThread_data()
    {
        QTest::addColumn<bool>("folderChanged");
        QTest::newRow("answered") << false;
        QTest::newRow("folder changed meanwhile") << true;
    }

    void validatorAsksTheDiskOffTheGuiThread()
    {
        QTemporaryDir dir;
        OSTRA_CONTINUE_IN_MOUNT_NAMESPACE(dir.filePath("ns"));
        QFETCH(bool, folderChanged);
        const QString ns = ostra::test::mountNamespaceFolder();
        QVERIFY(QDir().mkpath(ns + "/disk/out"));
        QVERIFY(QDir().mkpath(ns + "/other"));
        QFile taken(ns + "/disk/out/a");
        QVERIFY(taken.open(QIODevice::WriteOnly));
        taken.close();
        ostra::test::HeldMount drive(ns + "/disk", ns + "/mnt");
        if (!drive.isValid())
            QSKIP("cannot mount a file system of its own here");
        FilenameValidator validator;
        validator.setBaseFolder(ns + "/mnt/out");
        QSignalSpy changed(&validator, &QValidator::changed);
        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        QString name = QStringLiteral("a");
        int position = 0;
        QCOMPARE(validator.validate(name, position), QValidator::Intermediate);
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, 15000);
        QVERIFY(ostra::test::eventLoopTurns());
        QCOMPARE(validator.validate(name, position), QValidator::Intermediate);
        QCOMPARE(changed.count(), 0);
        if (folderChanged)
            validator.setBaseFolder(ns + "/other");
        QVERIFY(watchdog.end());
        drive.open();
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() == 0, 15000);
        if (folderChanged) {
            // The late answer said "a" is taken in the old folder; here it is free.
            QVERIFY(ostra::test::eventLoopTurns());
            QValidator::State got = validator.validate(name, position);
            QTRY_VERIFY((got = validator.validate(name, position)) != QValidator::Intermediate);
            QCOMPARE(got, QValidator::Acceptable);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, 15000);
        QCOMPARE(validator.validate(name, position), QValidator::Invalid);
        name = QStringLiteral("b");
        QCOMPARE(validator.validate(name, position), QValidator::Intermediate);
        QTRY_COMPARE(validator.validate(name, position), QValidator::Acceptable);
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

    // URLs as the window hands them over: '#', '%', blanks, non-ASCII names, names with
    // several dots, URLs that are no local file and relative ones.
    void urlHelpers_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<QString>("path"); // urlToFilePath
        QTest::addColumn<QString>("baseName"); // urlToFileName
        QTest::addColumn<QString>("fileName"); // fileNameFromUrl
        const QString unicode = QStringLiteral("\u00dcbersicht \u5199\u771f");
        QTest::newRow("plain") << QUrl::fromLocalFile("/p/IMG_1.vrx") << "/p/IMG_1.vrx"
                               << "IMG_1"
                               << "IMG_1.vrx";
        QTest::newRow("hash") << QUrl::fromLocalFile("/p/#1/a#b.vrx") << "/p/#1/a#b.vrx"
                              << "a#b"
                              << "a#b.vrx";
        QTest::newRow("hash as text") << QUrl("file:///p/a%23b.vrx") << "/p/a#b.vrx"
                                      << "a#b"
                                      << "a#b.vrx";
        QTest::newRow("percent") << QUrl::fromLocalFile("/p/100%.vrx") << "/p/100%.vrx"
                                 << "100%"
                                 << "100%.vrx";
        QTest::newRow("percent escape kept") << QUrl::fromLocalFile("/p/a%20b.vrx") << "/p/a%20b.vrx"
                                             << "a%20b"
                                             << "a%20b.vrx";
        QTest::newRow("blanks") << QUrl::fromLocalFile("/my pics/day 1.vrx") << "/my pics/day 1.vrx"
                                << "day 1"
                                << "day 1.vrx";
        QTest::newRow("non-ASCII") << QUrl::fromLocalFile("/p/" + unicode + ".vrx")
                                   << "/p/" + unicode + ".vrx" << unicode << unicode + ".vrx";
        QTest::newRow("non-ASCII as text") << QUrl("file:///p/%C3%9Cbersicht%20%E5%86%99%E7%9C%9F.vrx")
                                           << "/p/" + unicode + ".vrx" << unicode << unicode + ".vrx";
        QTest::newRow("several dots") << QUrl::fromLocalFile("/p/IMG.1.vrx") << "/p/IMG.1.vrx"
                                      << "IMG"
                                      << "IMG.1.vrx";
        QTest::newRow("folder") << QUrl::fromLocalFile("/p/day/") << "/p/day/"
                                << ""
                                << "";
        QTest::newRow("web address") << QUrl("https://example.com/a/b.vrx?x=1#f") << ""
                                     << ""
                                     << "b.vrx";
        QTest::newRow("relative") << QUrl("pics/a b.vrx") << ""
                                  << ""
                                  << "a b.vrx";
        QTest::newRow("empty") << QUrl() << ""
                               << ""
                               << "";
    }
    void urlHelpers()
    {
        QFETCH(QUrl, url);
        QFETCH(QString, path);
        QFETCH(QString, baseName);
        QFETCH(QString, fileName);
        Utils utils;
        QCOMPARE(utils.urlToFilePath(url), QDir::toNativeSeparators(path));
        QCOMPARE(utils.urlToFileName(url), baseName);
        QCOMPARE(utils.fileNameFromUrl(url), fileName);
    }

    // Folders with hostile names are made with their parents; a path that exists is fine
    // as it is, one under a file cannot be made; a relative path is taken from the working
    // folder.
    void createPath()
    {
        QTemporaryDir base;
        Utils utils;
        const QString deep = base.filePath(QStringLiteral("a #1/100% b/\u00fc\u5199"));
        QVERIFY(utils.createPath(deep));
        QVERIFY(QFileInfo(deep).isDir());
        QVERIFY(utils.createPath(deep));
        QFile file(base.filePath("f"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(utils.createPath(file.fileName()));
        QVERIFY(!utils.createPath(base.filePath("f/sub")));
        QVERIFY(!QFileInfo::exists(base.filePath("f/sub")));
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(base.path()));
        const bool made = utils.createPath(QStringLiteral("rel/x y"));
        QDir::setCurrent(before);
        QVERIFY(made);
        QVERIFY(QFileInfo(base.filePath("rel/x y")).isDir());
    }

    // The text of a file, read as UTF-8 whatever the locale; a new path reads again, the
    // same one does not; a file that cannot be read gives an empty text; resources are read
    // like files.
    void textLoader()
    {
        QTemporaryDir base;
        const QString text = QStringLiteral("Caf\u00e9 \u5199\u771f \u2019quoted\u2019\nsecond line\n");
        const QString path = base.filePath(QStringLiteral("page #1 100%.html"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(text.toUtf8()) == text.toUtf8().size());
        file.close();
        TextLoader loader;
        QSignalSpy changed(&loader, &TextLoader::textChanged);
        loader.setPath(path);
        QCOMPARE(loader.text(), text);
        QCOMPARE(changed.count(), 1);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.close();
        loader.setPath(path);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(loader.text(), text);
        loader.setPath(base.filePath("missing.html"));
        QCOMPARE(changed.count(), 2);
        QVERIFY(loader.text().isEmpty());
        loader.setPath(base.path()); // a folder
        QVERIFY(loader.text().isEmpty());
        loader.setPath(QStringLiteral(":/pages/license.html"));
        QVERIFY(loader.text().contains(QStringLiteral("Ostra license")));
        loader.setPath(QStringLiteral(":/pages/privacy.html"));
        QVERIFY(loader.text().contains(QStringLiteral("Ostra privacy")));
    }

    // The default family is the platform's, one a font can be made of.
    void defaultFont()
    {
        DefaultFont font;
        QVERIFY(!font.name().isEmpty());
        QCOMPARE(font.name(), QFont().defaultFamily());
        QCOMPARE(QFont(font.name()).family(), font.name());
    }

    // The editor's enumerations object is made in QML like the other types, and the opaque
    // pointer type travels in meta calls.
    void registeredTypes()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        QVERIFY(QMetaType::type("ShoppingCart*") != QMetaType::UnknownType);
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData(
            "import com.quelt.ostra 2.0\nImageEdit { property int mode: ImageEdit.Crop }", QUrl());
        std::unique_ptr<QObject> made(component.create());
        QVERIFY2(made, qPrintable(component.errorString()));
        QVERIFY(qobject_cast<ImageEdit*>(made.get()));
        QCOMPARE(made->property("mode").toInt(), int(ImageEdit::Crop));
    }

    // The space told is what the user may fill: blocks kept for the system's own use on a
    // disk that keeps some are not counted, as the import's check of each copy counts them.
    void spaceFreeLeavesOutReservedBlocks()
    {
        const QStorageInfo disk(QDir::tempPath());
        const qlonglong reserved = disk.bytesFree() - disk.bytesAvailable();
        if (reserved < 64 * 1024 * 1024)
            QSKIP("the disk of the temporary folder keeps no blocks aside");
        Volumes volumes(new MountInfoSource, new ostra::test::NoEjector);
        QVERIFY(ostra::test::waitReady(volumes));
        Utils utils;
        const qlonglong told = spaceFree(utils, QDir::tempPath(), &volumes);
        const qlonglong available = QStorageInfo(QDir::tempPath()).bytesAvailable();
        // Other writers on the disk move it a little meanwhile.
        QVERIFY2(std::abs(told - available) < reserved / 2,
            qPrintable(QStringLiteral("%1 told, %2 available, %3 kept aside")
                           .arg(told)
                           .arg(available)
                           .arg(reserved)));
        QVERIFY(std::abs(Utils::estimateSpaceFree(volumes.mounted(), QDir::tempPath()) - available)
            < reserved / 2);
    }

    void spaceFreeAtFolderBoundary()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(
            QDir::tempPath(), (QStringList { "mountedBoundary", "hungVolumeHoldsNotTheWindow" }));
    }

    // Two volumes whose roots begin alike: each path answers with its own volume's space,
    // looked up among the volumes read off the GUI thread and asked again for their space.
    void mountedBoundary()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs in a mount namespace (spaceFreeAtFolderBoundary)");
        QTemporaryDir base(root + "/ostra-space-XXXXXX");
        QVERIFY(ostra::test::mountTmpfs("cam", base.filePath("CAM"), "size=1m"));
        QVERIFY(ostra::test::mountTmpfs("cam2", base.filePath("CAM2"), "size=8m"));
        Volumes volumes(new MountInfoSource, new ostra::test::NoEjector);
        Utils utils;
        // Before the first read nothing is known.
        QCOMPARE(spaceFree(utils, base.filePath("CAM/x"), &volumes), -1LL);
        QVERIFY(ostra::test::waitReady(volumes));
        const qlonglong small = spaceFree(utils, base.filePath("CAM/x"), &volumes);
        const qlonglong large = spaceFree(utils, base.filePath("CAM2/x"), &volumes);
        QVERIFY2(small > 0 && small <= 1024 * 1024, qPrintable(QString::number(small)));
        QVERIFY2(large > 4 * 1024 * 1024 && large <= 8 * 1024 * 1024, qPrintable(QString::number(large)));
        QCOMPARE(spaceFree(utils, base.filePath("CAM2"), &volumes), large);
        QCOMPARE(Utils::estimateSpaceFree({}, base.filePath("CAM/x")), QStorageInfo().bytesFree());
        QCOMPARE(Utils::estimateSpaceFree(volumes.mounted(), base.filePath("CAM2/x")), large);
        QCOMPARE(spaceFree(utils, base.filePath("CAM/x"), nullptr), -1LL);
        // Space taken since the table was read shows: the volume is asked again.
        QFile fill(base.filePath("CAM/fill"));
        QVERIFY(fill.open(QIODevice::WriteOnly));
        QVERIFY(fill.write(QByteArray(512 * 1024, 'x')) == 512 * 1024);
        fill.close();
        const qlonglong after = spaceFree(utils, base.filePath("CAM/x"), &volumes);
        QVERIFY2(after <= small - 256 * 1024, qPrintable(QString::number(after)));
        ostra::test::shell(QString("umount '%1' '%2'").arg(base.filePath("CAM"), base.filePath("CAM2")));
    }

    // A volume that does not answer (held at its root) holds the worker that reads it, not
    // the window: events turn, other questions wait behind it in order, and each answer
    // comes once the volume answers.
    void hungVolumeHoldsNotTheWindow()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs in a mount namespace (spaceFreeAtFolderBoundary)");
        QTemporaryDir base(root + "/ostra-hung-XXXXXX");
        QVERIFY(ostra::test::mountTmpfs("hung", base.filePath("CAM"), "size=1m"));
        Volumes volumes(new MountInfoSource, new ostra::test::NoEjector);
        QVERIFY(ostra::test::waitReady(volumes));
        Utils utils;
        QSignalSpy answers(&utils, &Utils::spaceFreeKnown);
        {
            ostra::test::HeldOpens held(base.filePath("CAM"));
            if (!held.isValid())
                QSKIP("holding opens needs root");
            ostra::test::RescueWatchdog watchdog([&held] { held.open(); });
            held.close();
            utils.askSpaceFree(base.filePath("CAM/x"), &volumes);
            // Asked again while awaited: one answer.
            utils.askSpaceFree(base.filePath("CAM/x"), &volumes);
            utils.askSpaceFree(base.filePath("elsewhere/y"), nullptr);
            QTRY_COMPARE(held.held(), 1);
            QVERIFY(ostra::test::eventLoopTurns());
            QCOMPARE(answers.count(), 0);
            held.open();
            QTRY_COMPARE(answers.count(), 2);
            QVERIFY(watchdog.end());
        }
        QCOMPARE(answers.at(0).at(0).toString(), base.filePath("CAM/x"));
        const qlonglong bytes = answers.at(0).at(1).toLongLong();
        QVERIFY2(bytes > 0 && bytes <= 1024 * 1024, qPrintable(QString::number(bytes)));
        QCOMPARE(answers.at(1).at(0).toString(), base.filePath("elsewhere/y"));
        QCOMPARE(answers.at(1).at(1).toLongLong(), -1LL);
        ostra::test::shell(QString("umount '%1'").arg(base.filePath("CAM")));
    }

    // A folder that does not answer (its opens held) holds the workers that ask about it,
    // not the window nor the questions about other folders: the loop turns, nothing is made
    // there meanwhile, another folder is answered, and each held answer comes once the
    // folder answers.
    void heldFolderHoldsNotTheWindow()
    {
        QTemporaryDir base;
        QVERIFY(QDir(base.path()).mkdir("sub"));
        QFile present(base.filePath("sub/present #1"));
        QVERIFY(present.open(QIODevice::WriteOnly));
        present.close();
        Utils utils;
        QStringList order;
        QSignalSpy writable(&utils, &Utils::dirWritableKnown);
        QSignalSpy existing(&utils, &Utils::filesExistKnown);
        QSignalSpy created(&utils, &Utils::pathCreated);
        connect(&utils, &Utils::dirWritableKnown, this, [&order] { order << "writable"; });
        connect(&utils, &Utils::filesExistKnown, this, [&order] { order << "exist"; });
        connect(&utils, &Utils::pathCreated, this, [&order] { order << "created"; });
        int question = 0;
        {
            ostra::test::HeldOpens held(base.filePath("sub"));
            if (!held.isValid())
                QSKIP("holding opens needs root");
            ostra::test::RescueWatchdog watchdog([&held] { held.open(); });
            held.close();
            utils.askDirWritable(base.filePath("sub/new/deeper"));
            question = utils.askFilesExist(base.filePath("sub"), { "present #1", "absent" });
            utils.askCreatePath(base.filePath("sub/made/100% deep"));
            QTRY_COMPARE(held.held(), 3);
            QVERIFY(ostra::test::eventLoopTurns());
            QCOMPARE(order, QStringList());
            QVERIFY(!QFileInfo::exists(base.filePath("sub/made")));
            // Another folder, asked after: answered meanwhile.
            utils.askCreatePath(base.filePath("other/x"));
            QTRY_COMPARE(order, QStringList({ "created" }));
            QCOMPARE(created.at(0).at(0).toString(), base.filePath("other/x"));
            QVERIFY(created.at(0).at(1).toBool() && QFileInfo(base.filePath("other/x")).isDir());
            created.clear();
            order.clear();
            held.open();
            QTRY_COMPARE(order.size(), 3);
            QVERIFY(watchdog.end());
        }
        order.sort();
        QCOMPARE(order, QStringList({ "created", "exist", "writable" }));
        QCOMPARE(writable.at(0).at(0).toString(), base.filePath("sub/new/deeper"));
        QVERIFY(writable.at(0).at(1).toBool());
        QCOMPARE(existing.at(0).at(0).toInt(), question);
        QCOMPARE(existing.at(0).at(1).toStringList(), QStringList({ "present #1" }));
        QCOMPARE(created.at(0).at(0).toString(), base.filePath("sub/made/100% deep"));
        QVERIFY(created.at(0).at(1).toBool());
        QVERIFY(QFileInfo(base.filePath("sub/made/100% deep")).isDir());
    }

    // The answers of the worker for what cannot be: a path under a file is neither made
    // nor writable, a folder that is a file holds no names; each question is answered.
    void askedAnswersOfTheImpossible()
    {
        QTemporaryDir base;
        QFile file(base.filePath("f"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        Utils utils;
        QSignalSpy writable(&utils, &Utils::dirWritableKnown);
        QSignalSpy existing(&utils, &Utils::filesExistKnown);
        QSignalSpy created(&utils, &Utils::pathCreated);
        utils.askDirWritable(base.filePath("f/g"));
        utils.askDirWritable(QString());
        const int first = utils.askFilesExist(base.filePath("f"), { "g" });
        const int second = utils.askFilesExist(base.path(), { "f", "", "missing" });
        QVERIFY(second != first);
        utils.askCreatePath(base.filePath("f/sub"));
        utils.askCreatePath(base.filePath("f"));
        QTRY_COMPARE(created.count(), 2);
        QTRY_COMPARE(writable.count(), 2);
        QTRY_COMPARE(existing.count(), 2);
        QVERIFY(!writable.at(0).at(1).toBool() && !writable.at(1).at(1).toBool());
        // Each answer by its question: they come as the folders answer.
        QHash<int, QStringList> names;
        for (const QList<QVariant>& answer : qAsConst(existing))
            names.insert(answer.at(0).toInt(), answer.at(1).toStringList());
        QCOMPARE(names.keys().size(), 2);
        QVERIFY(names.value(first).isEmpty());
        QCOMPARE(names.value(second), QStringList({ "f" }));
        QHash<QString, bool> made;
        for (const QList<QVariant>& answer : qAsConst(created))
            made.insert(answer.at(0).toString(), answer.at(1).toBool());
        QCOMPARE(made.size(), 2);
        QVERIFY(!made.value(base.filePath("f/sub"), true));
        QVERIFY(!QFileInfo::exists(base.filePath("f/sub")));
        QVERIFY(made.value(base.filePath("f"), false)); // there already
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
        // The end of a batch edit names what it could not change.
        const QUrl odd = QUrl::fromLocalFile(QStringLiteral("/p/IMG #1.vrx"));
        QCOMPARE(utils.batchNote("Done!", {}), QStringLiteral("Done!"));
        QCOMPARE(utils.batchNote("Done!", { odd }), QStringLiteral("Could not change IMG #1.vrx"));
        QCOMPARE(utils.batchNote("Done!", { odd, odd }), QStringLiteral("Could not change 2 pictures"));
    }
};

OSTRA_TEST_MAIN(TestQmlHelpers)
#include "tst_qmlhelpers.moc"

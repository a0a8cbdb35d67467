#include "support/testmain.h"

#include "platform/mtptree.h"

namespace {

LIBMTP_file_t file(uint32_t id, uint32_t parent, const char* name, LIBMTP_filetype_t type, uint64_t size = 0)
{
    LIBMTP_file_t f {};
    f.item_id = id;
    f.parent_id = parent;
    f.storage_id = 0x10001;
    f.filename = const_cast<char*>(name);
    f.filetype = type;
    f.filesize = size;
    return f;
}

} // namespace

class TestMtpTree : public QObject
{
    Q_OBJECT
private slots:
    void deviceIds_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("serial");
        QTest::newRow("plain") << MtpTree::deviceId(0x4a9, 0x3139, "A1B2") << true << "A1B2";
        QTest::newRow("serial with colons") << MtpTree::deviceId(0xffff, 1, "x:y") << true << "x:y";
        QTest::newRow("empty serial") << MtpTree::deviceId(1, 2, "") << true << "";
        QTest::newRow("other transport") << "folder:/tmp" << false << "";
        QTest::newRow("short vendor") << "mtp:4a9:3139:A" << false << "";
    }
    void deviceIds()
    {
        QFETCH(QString, id);
        QFETCH(bool, valid);
        QFETCH(QString, serial);
        uint16_t vendor = 0, product = 0;
        QString parsed;
        QCOMPARE(MtpTree::parseDeviceId(id, &vendor, &product, &parsed), valid);
        if (valid) {
            QCOMPARE(parsed, serial);
            QCOMPARE(MtpTree::deviceId(vendor, product, parsed), id);
        }
        QCOMPARE(MtpTree::deviceId(0x4a9, 0x3139, "S"), QString("mtp:04a9:3139:S"));
    }

    void objectIds_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("storage");
        QTest::addColumn<uint>("value");
        QTest::newRow("object") << MtpTree::objectId(0xdeadbeef) << true << false << 0xdeadbeefu;
        QTest::newRow("storage") << MtpTree::storageId(0x10001) << true << true << 0x10001u;
        QTest::newRow("root") << "DEVICE" << false << false << 0u;
        QTest::newRow("not hex") << "o0000000g" << false << false << 0u;
        QTest::newRow("too long") << "o000000001" << false << false << 0u;
    }
    void objectIds()
    {
        QFETCH(QString, id);
        QFETCH(bool, valid);
        bool storage = false;
        uint32_t value = 0;
        QCOMPARE(MtpTree::parseObjectId(id, &storage, &value), valid);
        if (valid) {
            QTEST(storage, "storage");
            QTEST(uint(value), "value");
        }
    }

    // Storages are the children of "DEVICE"; listings, additions and removals of objects.
    void tree()
    {
        LIBMTP_devicestorage_t card {}, internal {};
        card.id = 0x10001;
        card.StorageDescription = const_cast<char*>("SD card");
        internal.id = 0x20001;
        internal.VolumeIdentifier = const_cast<char*>("vol");
        card.next = &internal;
        MtpTree tree;
        tree.addStorages(&card);
        QCOMPARE(tree.children("DEVICE"), QStringList({ "s00010001", "s00020001" }));
        DeviceObject object;
        QVERIFY(tree.object("s00020001", &object));
        QCOMPARE(object.name, QString("vol"));
        QVERIFY(object.folder);

        LIBMTP_file_t dcim = file(5, 0, "DCIM", LIBMTP_FILETYPE_FOLDER);
        LIBMTP_file_t raw = file(6, 0, "IMG_1.vrx", LIBMTP_FILETYPE_UNKNOWN, 5000000000ull);
        LIBMTP_file_t nameless = file(7, 0, nullptr, LIBMTP_FILETYPE_JPEG, 3);
        dcim.next = &raw;
        raw.next = &nameless;
        QVERIFY(!tree.isListed("s00010001"));
        tree.addListing("s00010001", &dcim);
        QVERIFY(tree.isListed("s00010001"));
        QCOMPARE(tree.children("s00010001"), QStringList({ "o00000005", "o00000006", "o00000007" }));
        QVERIFY(tree.object("o00000005", &object) && object.folder && !object.sizeKnown);
        QVERIFY(tree.object("o00000006", &object));
        QCOMPARE(object.size, qint64(5000000000ll)); // past 32 bits
        QCOMPARE(object.name, QString("IMG_1.vrx"));
        QVERIFY(tree.object("o00000007", &object));
        QVERIFY(!isSingleNameComponent(object.name)); // an empty name is never a file name

        LIBMTP_file_t added = file(8, 5, "IMG_2.jpg", LIBMTP_FILETYPE_JPEG, 10);
        tree.addObject(added);
        tree.addObject(added);
        QCOMPARE(tree.children("o00000005"), QStringList({ "o00000008" }));
        tree.removeObject("o00000006");
        QVERIFY(!tree.object("o00000006", &object));
        QCOMPARE(tree.children("s00010001"), QStringList({ "o00000005", "o00000007" }));
    }

    // A device whose tree lists a folder inside itself, or another folder's ancestor, has
    // each folder listed once; folders past the depth bound are not listed.
    void cyclesAreWalkedOnce()
    {
        MtpTree tree;
        LIBMTP_file_t dcim = file(5, 0, "DCIM", LIBMTP_FILETYPE_FOLDER);
        QCOMPARE(tree.foldersToWalk(&dcim, 0, 64), QList<uint32_t>({ 5 }));
        // DCIM lists a sub-folder and itself; the sub-folder lists DCIM and a picture.
        LIBMTP_file_t sub = file(9, 5, "100", LIBMTP_FILETYPE_FOLDER);
        LIBMTP_file_t self = file(5, 5, "DCIM", LIBMTP_FILETYPE_FOLDER);
        sub.next = &self;
        QCOMPARE(tree.foldersToWalk(&sub, 1, 64), QList<uint32_t>({ 9 }));
        LIBMTP_file_t up = file(5, 9, "DCIM", LIBMTP_FILETYPE_FOLDER);
        LIBMTP_file_t picture = file(10, 9, "IMG_1.vrx", LIBMTP_FILETYPE_UNKNOWN, 10);
        up.next = &picture;
        QVERIFY(tree.foldersToWalk(&up, 2, 64).isEmpty());
        // The depth bound.
        LIBMTP_file_t deep = file(11, 9, "deep", LIBMTP_FILETYPE_FOLDER);
        QVERIFY(tree.foldersToWalk(&deep, 64, 64).isEmpty());
        LIBMTP_file_t shallow = file(12, 9, "shallow", LIBMTP_FILETYPE_FOLDER);
        QCOMPARE(tree.foldersToWalk(&shallow, 63, 64), QList<uint32_t>({ 12 }));
    }

    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("single");
        QTest::newRow("file") << "IMG_1.vrx" << true;
        QTest::newRow("dots inside") << "..a.b" << true;
        QTest::newRow("dot") << "." << false;
        QTest::newRow("dot dot") << ".." << false;
        QTest::newRow("path") << "../../etc/passwd" << false;
        QTest::newRow("absolute") << "/x" << false;
        QTest::newRow("nul") << QString("a") + QChar(0) + "b" << false;
    }
    void names()
    {
        QFETCH(QString, name);
        QTEST(isSingleNameComponent(name), "single");
    }
};

OSTRA_TEST_MAIN_CORE(TestMtpTree)
#include "tst_mtptree.moc"

#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/mountinfosource.h"

class TestMountInfoSource : public QObject
{
    Q_OBJECT
private slots:
    void fatUuidsSpellSerials_data()
    {
        QTest::addColumn<QString>("uuid");
        QTest::addColumn<quint32>("serial");
        QTest::newRow("fat") << "ABCD-1234" << quint32(0xABCD1234);
        QTest::newRow("lower case") << "0a0b-ffff" << quint32(0x0A0BFFFF);
        QTest::newRow("ntfs") << "0123456789ABCDEF" << quint32(0);
        QTest::newRow("ext4") << "6f1c8c2e-1111-4222-8333-444455556666" << quint32(0);
        QTest::newRow("short") << "ABC-1234" << quint32(0);
        QTest::newRow("trailing") << "ABCD-12345" << quint32(0);
    }

    void fatUuidsSpellSerials()
    {
        QFETCH(QString, uuid);
        QFETCH(quint32, serial);
        QCOMPARE(fatSerialFromUuid(uuid), serial);
    }

    void serialFollowsTheDevicesLink()
    {
        // A stand-in for /dev with two partitions and udev's links by UUID.
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("dev") && QDir(dir.path()).mkpath("by-uuid"));
        for (const char* name : { "dev/sdz1", "dev/sdz2", "dev/sdz3" }) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QVERIFY(QFile::link("../dev/sdz1", dir.filePath("by-uuid/ABCD-1234")));
        QVERIFY(QFile::link("../dev/sdz2", dir.filePath("by-uuid/6f1c8c2e-1111-4222-8333-444455556666")));
        QVERIFY(QFile::link(dir.filePath("dev/sdz1"), dir.filePath("dev/card"))); // another name of sdz1
        MountInfoSource source(dir.filePath("by-uuid"), nullptr);
        QVERIFY(source.watching());
        QCOMPARE(
            source.volumeSerialOfDevice(QFile::encodeName(dir.filePath("dev/sdz1"))), quint32(0xABCD1234));
        QCOMPARE(
            source.volumeSerialOfDevice(QFile::encodeName(dir.filePath("dev/card"))), quint32(0xABCD1234));
        QCOMPARE(source.volumeSerialOfDevice(QFile::encodeName(dir.filePath("dev/sdz2"))), quint32(0));
        QCOMPARE(source.volumeSerialOfDevice(QFile::encodeName(dir.filePath("dev/sdz3"))), quint32(0));
        QCOMPARE(source.volumeSerialOfDevice("tmpfs"), quint32(0));
    }
};

OSTRA_TEST_MAIN_CORE(TestMountInfoSource)
#include "tst_mountinfosource.moc"

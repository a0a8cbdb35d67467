#include "support/testmain.h"

#include "core/uuidpacking.h"

namespace {
QByteArray hexBytes(const char* hex)
{
    return QByteArray::fromHex(hex);
}
} // namespace

class TestUuidPacking : public QObject
{
    Q_OBJECT
private slots:
    void packing_data()
    {
        QTest::addColumn<QUuid>("uuid");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("short words padded")
            << uuidFromHexWords("00000001-2-a-FFFFFFFF") << hexBytes("00000001000000020000000affffffff");
        QTest::newRow("mixed case") << uuidFromHexWords("DeadBeef-0-CAFE-1")
                                    << hexBytes("deadbeef000000000000cafe00000001");
        QTest::newRow("unparsable word is zero")
            << uuidFromHexWords("1-zz-3-4") << hexBytes("00000001000000000000000300000004");
        QTest::newRow("word over 32 bits is zero")
            << uuidFromHexWords("123456789-1-1-1") << hexBytes("00000000000000010000000100000001");
        QTest::newRow("empty parts") << uuidFromHexWords("--7-")
                                     << hexBytes("00000000000000000000000700000000");
        QTest::newRow("words big-endian")
            << uuidFromWords({ 0x12345678u, 0x9abcdef0u, 0x0fedcba9u, 0x87654321u })
            << hexBytes("123456789abcdef00fedcba987654321");
        QTest::newRow("no words") << uuidFromWords({}) << QUuid().toRfc4122();
        QTest::newRow("three words") << uuidFromWords({ 1u, 2u, 3u }) << QUuid().toRfc4122();
        QTest::newRow("five words") << uuidFromWords({ 1u, 2u, 3u, 4u, 5u }) << QUuid().toRfc4122();
        QTest::newRow("int64 pair, high first")
            << uuidFromInt64Pair(1, 2) << hexBytes("00000000000000010000000000000002");
        QTest::newRow("negative int64s") << uuidFromInt64Pair(std::numeric_limits<qint64>::min(), -2)
                                         << hexBytes("8000000000000000fffffffffffffffe");
    }

    void packing()
    {
        QFETCH(QUuid, uuid);
        QFETCH(QByteArray, bytes);
        QCOMPARE(bytes.size(), 16);
        QCOMPARE(uuid.toRfc4122(), bytes);
    }
};

OSTRA_TEST_MAIN_CORE(TestUuidPacking)
#include "tst_uuidpacking.moc"

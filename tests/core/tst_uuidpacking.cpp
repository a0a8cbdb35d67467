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
    void hexWords_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("short words padded")
            << QStringLiteral("00000001-2-a-FFFFFFFF") << hexBytes("00000001000000020000000affffffff");
        QTest::newRow("mixed case") << QStringLiteral("DeadBeef-0-CAFE-1")
                                    << hexBytes("deadbeef000000000000cafe00000001");
        QTest::newRow("unparsable word is zero")
            << QStringLiteral("1-zz-3-4") << hexBytes("00000001000000000000000300000004");
        QTest::newRow("word over 32 bits is zero")
            << QStringLiteral("123456789-1-1-1") << hexBytes("00000000000000010000000100000001");
        QTest::newRow("empty parts") << QStringLiteral("--7-")
                                     << hexBytes("00000000000000000000000700000000");
    }

    void hexWords()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(bytes.size(), 16);
        const QUuid uuid = uuidFromHexWords(text);
        QCOMPARE(uuid.toRfc4122(), bytes);
    }

    void wordsArePackedBigEndian()
    {
        const QUuid uuid = uuidFromWords({ 0x12345678u, 0x9abcdef0u, 0x0fedcba9u, 0x87654321u });
        QCOMPARE(uuid.toRfc4122(), hexBytes("123456789abcdef00fedcba987654321"));
        QCOMPARE(uuid.toString(), QStringLiteral("{12345678-9abc-def0-0fed-cba987654321}"));
        QVERIFY(uuidFromWords({ 1u, 2u, 3u }).isNull());
        QVERIFY(uuidFromWords({ 1u, 2u, 3u, 4u, 5u }).isNull());
        QVERIFY(uuidFromWords({}).isNull());
    }

    void int64PairIsPackedHighFirst()
    {
        QCOMPARE(uuidFromInt64Pair(1, 2).toRfc4122(), hexBytes("00000000000000010000000000000002"));
        QCOMPARE(uuidFromInt64Pair(-1, 0x0123456789abcdefLL).toString(),
            QStringLiteral("{ffffffff-ffff-ffff-0123-456789abcdef}"));
        QCOMPARE(uuidFromInt64Pair(std::numeric_limits<qint64>::min(), -2).toRfc4122(),
            hexBytes("8000000000000000fffffffffffffffe"));
    }
};

OSTRA_TEST_MAIN_CORE(TestUuidPacking)
#include "tst_uuidpacking.moc"

#include "support/testmain.h"

#include <QRandomGenerator>
#include <set>

#include "core/bitset.h"
#include "core/texthelpers.h"

class TestBitSet : public QObject
{
    Q_OBJECT
private slots:
    void summaryThatCancelsOutStillSeesBits()
    {
        // Bit 5 in two words: the exclusive-or of the words is zero although bits are set.
        BitSet set;
        set.setBit(5);
        set.setBit(64 + 5);
        QVERIFY(!set.isEmpty());
        set.clearBit(5);
        QVERIFY(!set.isEmpty());
        set.clearBit(69);
        QVERIFY(set.isEmpty());
    }

    void negativeIndexIsRefused()
    {
        BitSet set;
        QVERIFY_EXCEPTION_THROWN(set.setBit(-1), std::out_of_range);
        QVERIFY(set.isEmpty());
        QVERIFY(!set.testBit(-1));
    }

    void agreesWithAReferenceSet()
    {
        QRandomGenerator random(1234);
        BitSet set;
        std::set<int> reference;
        for (int step = 0; step < 20000; ++step) {
            const int bit = int(random.bounded(400));
            if (random.bounded(2)) {
                set.setBit(bit);
                reference.insert(bit);
            } else {
                set.clearBit(bit);
                reference.erase(bit);
            }
            QCOMPARE(set.isEmpty(), reference.empty());
        }
        for (int bit = 0; bit < 400; ++bit)
            QCOMPARE(set.testBit(bit), reference.count(bit) == 1);
    }

    void underscoreNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("third part 1") << QStringLiteral("IMG_0042_1_x") << QStringLiteral("IMG_0042");
        QTest::newRow("exactly three") << QStringLiteral("a_b_1") << QStringLiteral("a_b");
        QTest::newRow("third part not 1") << QStringLiteral("a_b_2") << QStringLiteral("a_b_2");
        QTest::newRow("two parts") << QStringLiteral("a_1") << QStringLiteral("a_1");
        QTest::newRow("empty parts kept") << QStringLiteral("__1") << QStringLiteral("_");
        QTest::newRow("no underscore") << QStringLiteral("plain") << QStringLiteral("plain");
    }

    void underscoreNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(normalizeUnderscoreName(name), expected);
    }
};

OSTRA_TEST_MAIN_CORE(TestBitSet)
#include "tst_bitset.moc"

#include "support/testmain.h"

#include <QSignalSpy>

#include "routerfixture.h"

using namespace routertest;

namespace {

TrafficTicket ticket(int error, const QString& target, int s, const QString& channel = "cam1")
{
    Recipe r = recipe(target, 10);
    r.ioChannel = channel;
    return TrafficTicket(
        error, QUrl::fromLocalFile("/lib/import/" + target), r, session(s), Volume("/lib", "/dev/sda1"));
}

} // namespace

class TestTicketsRecord : public QObject
{
    Q_OBJECT
private slots:
    void resolveTakesTheTicketsItReaches_data()
    {
        QTest::addColumn<bool>("toSameSet");
        QTest::addColumn<bool>("toAllSets");
        QTest::addColumn<int>("scope");
        QTest::addColumn<int>("left");
        // Open: Present a (session 1), Present b (session 1), NoSpace c (session 1),
        // Present d (session 2).
        QTest::newRow("this file") << false << false << int(IFileSink::TargetScope) << 3;
        QTest::newRow("this session") << true << false << int(IFileSink::SessionScope) << 2;
        QTest::newRow("every session") << false << true << int(IFileSink::GlobalScope) << 1;
    }

    void resolveTakesTheTicketsItReaches()
    {
        QFETCH(bool, toSameSet);
        QFETCH(bool, toAllSets);
        QFETCH(int, scope);
        QFETCH(int, left);
        TicketsRecord record;
        QSignalSpy count(&record, &TicketsRecord::countChanged);
        QSignalSpy current(&record, &TicketsRecord::currentChanged);
        record.file(ticket(IFileSink::Present, "a.vrx", 1), false);
        record.file(ticket(IFileSink::Present, "b.vrx", 1), false);
        record.file(ticket(IFileSink::NoSpace, "c.vrx", 1), false);
        record.file(ticket(IFileSink::Present, "d.vrx", 2), false);
        const TrafficTicket taken = record.resolve(toSameSet, toAllSets);
        QCOMPARE(taken.target, QStringLiteral("/lib/import/a.vrx"));
        QCOMPARE(taken.scope, scope);
        QCOMPARE(record.count(), left);
        QCOMPARE(count.size(), 5);
        // Only the first filing and the resolve change the current ticket.
        QCOMPARE(current.size(), 2);
        // The other error always stays.
        bool noSpaceLeft = false;
        for (const TrafficTicket& t : record.list())
            noSpaceLeft = noSpaceLeft || t.error == IFileSink::NoSpace;
        QVERIFY(noSpaceLeft);
    }

    // One ticket stands for each device: a second device's trouble gets its own, a device's
    // later trouble takes the place of its earlier one.
    void oneTicketPerDevice()
    {
        TicketsRecord record;
        record.file(ticket(IFileSink::IOPause, "a.vrx", 1, "cam1"), true);
        record.file(ticket(IFileSink::IOError, "b.vrx", 1, "cam2"), true);
        QCOMPARE(record.count(), 2);
        record.file(ticket(IFileSink::IOError, "c.vrx", 2, "cam1"), true);
        QCOMPARE(record.count(), 2);
        QCOMPARE(record.list().at(0).target, QStringLiteral("/lib/import/c.vrx"));
        QCOMPARE(record.list().at(1).target, QStringLiteral("/lib/import/b.vrx"));
    }
};

OSTRA_TEST_MAIN(TestTicketsRecord)
#include "tst_ticketsrecord.moc"

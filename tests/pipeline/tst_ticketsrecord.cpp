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
        record.file(ticket(IFileSink::Present, "a.vrx", 1), false);
        record.file(ticket(IFileSink::Present, "b.vrx", 1), false);
        record.file(ticket(IFileSink::NoSpace, "c.vrx", 1), false);
        record.file(ticket(IFileSink::Present, "d.vrx", 2), false);
        QSignalSpy count(&record, &TicketsRecord::countChanged);
        QSignalSpy current(&record, &TicketsRecord::currentChanged);
        const TrafficTicket taken = record.resolve(toSameSet, toAllSets);
        QCOMPARE(taken.target, QStringLiteral("/lib/import/a.vrx"));
        QCOMPARE(taken.scope, scope);
        QCOMPARE(record.count(), left);
        QCOMPARE(count.size(), 1);
        QCOMPARE(current.size(), 1);
        // The other error always stays.
        bool noSpaceLeft = false;
        for (const TrafficTicket& t : record.list())
            noSpaceLeft = noSpaceLeft || t.error == IFileSink::NoSpace;
        QVERIFY(noSpaceLeft);
    }

    void channelTicketStandsAlone()
    {
        TicketsRecord record;
        QSignalSpy count(&record, &TicketsRecord::countChanged);
        QSignalSpy current(&record, &TicketsRecord::currentChanged);
        QCOMPARE(record.resolve().error, int(IFileSink::NoError)); // empty: nothing to take
        record.file(ticket(IFileSink::Present, "a.vrx", 1), false);
        record.file(ticket(IFileSink::IOError, "b.vrx", 1), true);
        record.file(ticket(IFileSink::IOPause, "c.vrx", 2), true);
        record.file(ticket(IFileSink::IOError, "d.vrx", 2, "cam2"), true);
        QCOMPARE(record.count(), 3);
        QCOMPARE(record.list().at(1).error, int(IFileSink::IOPause));
        QCOMPARE(count.size(), 3);
        QCOMPARE(current.size(), 1); // only the first filing changed the current ticket
        record.dropChannel(IOChannel("transfer", "cam1"));
        QCOMPARE(record.count(), 2);
        QCOMPARE(record.errorType(), QStringLiteral("Present"));
    }

    // Makes the lost folder's parent; the folder itself is left to the scheduler.
    void mkdirsMakesTheParent()
    {
        QTemporaryDir dir;
        TicketsRecord record;
        record.file(TrafficTicket(IFileSink::DirLost, QUrl::fromLocalFile(dir.filePath("2026/LowRes/a.jpg")),
                        recipe("a.jpg", 12), session(1), Volume(dir.path(), "dev")),
            false);
        QVERIFY(!record.folderExists());
        record.mkdirs();
        QVERIFY(QFileInfo(dir.filePath("2026")).isDir());
        QVERIFY(!record.folderExists());
    }
};

OSTRA_TEST_MAIN(TestTicketsRecord)
#include "tst_ticketsrecord.moc"

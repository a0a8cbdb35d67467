#include "support/testmain.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <atomic>
#include <memory>

#include "routerfixture.h"
#include "support/rescuewatchdog.h"

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
    // What the disk says of the current ticket's file and folder is read off the loop (the
    // folder may be on a share that hangs); a ticket filed meanwhile is read after it.
    void factsReadOffTheLoop()
    {
        QTemporaryDir dir;
        QVERIFY(writeTreeFile(dir.filePath("import/a.vrx"), QByteArray(7, 'x')));
        TicketsRecord record;
        auto gate = std::make_shared<QSemaphore>();
        auto reads = std::make_shared<std::atomic<int>>(0);
        record.setReadHook([gate, reads](const QString&) {
            ++*reads;
            gate->acquire();
        });
        ostra::test::RescueWatchdog watchdog([gate] { gate->release(1000); });
        QSignalSpy facts(&record, &TicketsRecord::factsChanged);
        const Recipe r = recipe("a.vrx", 7);
        record.file(TrafficTicket(IFileSink::Present, QUrl::fromLocalFile(dir.filePath("import/a.vrx")), r,
                        session(1), Volume()),
            false);
        QTRY_COMPARE(reads->load(), 1);
        int turned = 0;
        QMetaObject::invokeMethod(
            &record, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        QVERIFY(!record.targetExists() && !record.folderExists());
        QCOMPARE(record.targetFree(), -1);
        gate->release(1000);
        QTRY_VERIFY(record.targetExists());
        QVERIFY(record.folderExists());
        QCOMPARE(record.targetSize(), 7);
        QVERIFY(record.targetFree() > 0);
        QVERIFY(facts.size() >= 2);
        // The next ticket, on a folder that is not there.
        record.resolve();
        record.file(TrafficTicket(IFileSink::DirLost, QUrl::fromLocalFile(dir.filePath("gone/b.vrx")), r,
                        session(1), Volume()),
            false);
        QTRY_COMPARE(reads->load(), 2);
        QTRY_VERIFY(record.targetFree() > 0);
        QVERIFY(!record.folderExists() && !record.targetExists());
        QVERIFY(watchdog.end());
    }

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

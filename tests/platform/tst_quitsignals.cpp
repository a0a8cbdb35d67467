#include "support/testmain.h"

#include "platform/quitsignals.h"

#include <QSignalSpy>

#include <csignal>

// The quit signals become a Qt signal on the GUI thread, in the order they came, and the
// previous dispositions come back with the object's end.
class TestQuitSignals : public QObject
{
    Q_OBJECT
private slots:
    void signalsArriveInOrderAndHandlersComeBack()
    {
        std::signal(SIGHUP, SIG_IGN);
        struct sigaction before
        {
        };
        QCOMPARE(sigaction(SIGTERM, nullptr, &before), 0);
        {
            QuitSignals signals_;
            QVERIFY(signals_.installed());
            QSignalSpy received(&signals_, &QuitSignals::received);
            for (int number : { SIGTERM, SIGINT, SIGHUP })
                QCOMPARE(::raise(number), 0); // would end the process without the handler
            QTRY_COMPARE(received.count(), 3);
            QCOMPARE(received.at(0).at(0).toInt(), int(SIGTERM));
            QCOMPARE(received.at(1).at(0).toInt(), int(SIGINT));
            QCOMPARE(received.at(2).at(0).toInt(), int(SIGHUP));
        }
        struct sigaction now
        {
        };
        QCOMPARE(sigaction(SIGHUP, nullptr, &now), 0);
        QVERIFY(now.sa_handler == SIG_IGN);
        QCOMPARE(sigaction(SIGTERM, nullptr, &now), 0);
        QVERIFY(now.sa_handler == before.sa_handler);
    }
};

OSTRA_TEST_MAIN_CORE(TestQuitSignals)
#include "tst_quitsignals.moc"

#include "support/testmain.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtEndian>

#include <atomic>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/automationclient.h"
#include "app/automationhost.h"
#include "app/startuplock.h"
#include "app/typeregistration.h"
#include "core/appsettings.h"
#include "core/identity.h"

Q_DECLARE_METATYPE(QList<QUrl>)

namespace {

QByteArray be32(quint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

// Connects and writes from this thread (the kernel buffers small writes, so the host's own
// event loop need not run meanwhile), leaving the connection open unless `close`.
std::unique_ptr<QLocalSocket> send(const QString& path, const QByteArray& bytes, bool close)
{
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(path, QIODevice::WriteOnly);
    if (!socket->waitForConnected(5000))
        return nullptr;
    socket->write(bytes);
    socket->waitForBytesWritten(5000);
    if (close)
        socket->disconnectFromServer();
    return socket;
}

// Hands `args` over as a second start does, from a thread of its own: the client waits for
// the answer of the host, which runs on this one. `whileSending` runs here once the sender is
// under way.
AutomationClient::Result handOver(QStringList args, const std::function<void()>& whileSending = {})
{
    const QString server = AutomationClient::serverName();
    std::atomic<bool> done { false };
    AutomationClient::Result result = AutomationClient::Result::Failed;
    std::thread sender([&] {
        AutomationClient client(server);
        result = client.send(args);
        done = true;
    });
    if (whileSending)
        whileSending();
    const QDeadlineTimer deadline(60000);
    while (!done && !deadline.hasExpired())
        QTest::qWait(10);
    sender.join();
    return result;
}

// Blocks, without handling events, until a connection waits at the host's server.
bool connectionWaiting(AutomationHost& host)
{
    auto* server = host.findChild<QLocalServer*>();
    if (!server)
        return false;
    pollfd waiting { int(server->socketDescriptor()), POLLIN, 0 };
    return ::poll(&waiting, 1, 30000) == 1;
}

QStringList names(int n, const QString& prefix)
{
    QStringList list;
    for (int i = 0; i < n; ++i)
        list << QStringLiteral("/%1%2.vrx").arg(prefix).arg(i);
    return list;
}

} // namespace

class TestAutomationHost : public QObject
{
    Q_OBJECT

    std::unique_ptr<AppSettings> m_settings;
    QString m_path;

private slots:
    void initTestCase()
    {
        ostra::applyIdentity();
        ostra::registerMetaTypes();
        m_settings = std::make_unique<AppSettings>();
        m_path = QDir(ostra::StartupLock::runtimeFolder())
                     .absoluteFilePath(QString::fromLatin1(ostra::applicationId));
    }

    void cleanupTestCase() { m_settings.reset(); }

    void decodeTruncatedKeepsWholeStrings()
    {
        const QStringList list { QStringLiteral("first"), QString(), QStringLiteral("third one"),
            QStringLiteral("\u6771\u4eac") };
        const QByteArray whole = AutomationClient::encode(list);
        for (int length = 0; length <= whole.size(); ++length) {
            const QStringList decoded = AutomationHost::decode(whole.left(length));
            QVERIFY(decoded.size() <= list.size());
            QCOMPARE(decoded, list.mid(0, decoded.size()));
            if (length == whole.size())
                QCOMPARE(decoded.size(), list.size());
        }
    }

    void decodeCorruptCounts()
    {
        // A count far beyond what the bytes can hold.
        const QByteArray strings
            = AutomationClient::encode({ QStringLiteral("x"), QStringLiteral("y") }).mid(4);
        for (quint32 count : { 0x7fffffffu, 0x80000000u, 0xfffffffeu })
            QCOMPARE(AutomationHost::decode(be32(count) + strings),
                (QStringList { QStringLiteral("x"), QStringLiteral("y") }));
        // A count below what follows: the rest is ignored.
        QCOMPARE(AutomationHost::decode(be32(1) + strings), QStringList { QStringLiteral("x") });
        // A string length beyond the end, an odd length.
        QCOMPARE(AutomationHost::decode(be32(2) + strings.left(6) + be32(0x7ffffff0) + "ab"),
            QStringList { QStringLiteral("x") });
        QCOMPARE(AutomationHost::decode(be32(2) + be32(3) + "abc" + strings), QStringList());
        // Null strings cost only their length field.
        QByteArray nulls = be32(0xffffffff);
        for (int i = 0; i < 1000; ++i)
            nulls += be32(0xffffffff);
        QCOMPARE(AutomationHost::decode(nulls).size(), 1000);
        QVERIFY(AutomationHost::decode(QByteArray("\0\0", 2)).isEmpty());
    }

    void hostileMessagesOverTheSocket()
    {
        AutomationHost host;
        QSignalSpy commands(&host, &AutomationHost::command);

        // Garbage.
        QByteArray garbage;
        for (int i = 0; i < 4096; ++i)
            garbage += char((i * 7919) & 0xff);
        QVERIFY(send(m_path, garbage, true));
        QTRY_COMPARE(commands.count(), 1);

        // The host still serves a good message afterwards.
        QStringList args { QStringLiteral("/after.vrx") };
        QCOMPARE(handOver(args), AutomationClient::Result::Delivered);
        QTRY_COMPARE(commands.count(), 2);
        QCOMPARE(commands.at(1).at(0).toStringList(), QStringList { QStringLiteral("/after.vrx") });
    }

    // A message past the size bound, or one that stops coming, is cut to the whole strings
    // that arrived, and the host hangs up on the rest.
    void cutMessages_data()
    {
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<int>("maxMs");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("warning");
        const QByteArray big = AutomationClient::encode(names(200, QStringLiteral("f")));
        const QByteArray half
            = AutomationClient::encode({ QStringLiteral("/stalled.vrx"), QStringLiteral("/x.vrx") });
        QTest::newRow("oversized") << qint64(1000) << AutomationHost::defaultMaxMs << big
                                   << QStringLiteral("exceeded 1000 bytes");
        QTest::newRow("out of time") << AutomationHost::defaultMaxBytes << 200 << half.left(half.size() - 4)
                                     << QStringLiteral("did not end in time; keeping what arrived");
    }

    void cutMessages()
    {
        QFETCH(qint64, maxBytes);
        QFETCH(int, maxMs);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, warning);
        AutomationHost host;
        host.setMessageLimits(maxBytes, maxMs);
        QSignalSpy commands(&host, &AutomationHost::command);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        const auto socket = send(m_path, bytes, false);
        QVERIFY(socket);
        QTRY_COMPARE(commands.count(), 1);
        const QStringList kept = commands.at(0).at(0).toStringList();
        QVERIFY(!kept.isEmpty());
        QCOMPARE(kept, AutomationHost::decode(bytes.left(int(maxBytes))));
        QTRY_COMPARE(socket->state(), QLocalSocket::UnconnectedState);
    }

    void stalledWriterDoesNotHoldOthersUp()
    {
        AutomationHost host;
        QSignalSpy commands(&host, &AutomationHost::command);

        // Connects first, sends half a message and then nothing.
        const QByteArray half
            = AutomationClient::encode({ QStringLiteral("/stalled.vrx"), QStringLiteral("/never.vrx") });
        const auto stalled = send(m_path, half.left(half.size() - 4), false);
        QVERIFY(stalled);

        QStringList args { QStringLiteral("/prompt.vrx") };
        QCOMPARE(handOver(args), AutomationClient::Result::Delivered);
        QTRY_COMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toStringList(), QStringList { QStringLiteral("/prompt.vrx") });

        // The stalled writer goes away: what it sent in whole is kept.
        stalled->abort();
        QTRY_COMPARE(commands.count(), 2);
        QCOMPARE(commands.at(1).at(0).toStringList(), QStringList { QStringLiteral("/stalled.vrx") });
    }

    // Past the bound, a waiting connection takes the place of the one idle longest: that one
    // ends with what it sent in whole, the other stays until it is idle for good.
    void connectionsBounded()
    {
        AutomationHost host;
        host.setConnectionLimits(2, AutomationHost::defaultMaxTotalBytes);
        QSignalSpy commands(&host, &AutomationHost::command);
        const QByteArray stalled = AutomationClient::encode(names(2, QStringLiteral("s")));
        auto a = send(m_path, stalled.left(stalled.size() - 2), false);
        QTRY_COMPARE(host.findChildren<QLocalSocket*>().size(), 1); // a is read first
        auto b = send(m_path, stalled.left(stalled.size() - 2), false);
        auto c = send(m_path, AutomationClient::encode({ QStringLiteral("/c.vrx") }), true);
        QVERIFY(a && b && c);
        QTRY_COMPARE(commands.count(), 2);
        QCOMPARE(commands.at(0).at(0).toStringList(), QStringList { QStringLiteral("/s0.vrx") });
        QCOMPARE(commands.at(1).at(0).toStringList(), QStringList { QStringLiteral("/c.vrx") });
        QTRY_COMPARE(a->state(), QLocalSocket::UnconnectedState);
        // b, idle for good, ends too.
        QTRY_COMPARE(commands.count(), 3);
        QCOMPARE(commands.at(2).at(0).toStringList(), QStringList { QStringLiteral("/s0.vrx") });
    }

    // Many connections that send nothing, more than are read at once: a hand-off behind them
    // arrives long before any message bound expires, and every idle one is closed.
    void idleConnectionsHoldNothingUp()
    {
        AutomationHost host;
        host.setMessageLimits(AutomationHost::defaultMaxBytes, 600000);
        QSignalSpy commands(&host, &AutomationHost::command);
        std::vector<std::unique_ptr<QLocalSocket>> idle;
        for (int i = 0; i < 40; ++i) {
            idle.push_back(send(m_path, QByteArray(), false));
            QVERIFY(idle.back());
        }
        QStringList args { QStringLiteral("/wanted.vrx") };
        QCOMPARE(handOver(args), AutomationClient::Result::Delivered);
        QTRY_VERIFY_WITH_TIMEOUT(
            commands.contains(QVariantList { QStringList { QStringLiteral("/wanted.vrx") } }), 20000);
        for (const auto& socket : idle)
            QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QLocalSocket::UnconnectedState, 20000);
    }

    // The bytes held across connections are bounded, not only per connection.
    void bytesBoundedAcrossConnections()
    {
        AutomationHost host;
        host.setMessageLimits(1000, AutomationHost::defaultMaxMs);
        host.setConnectionLimits(8, 1500);
        QSignalSpy commands(&host, &AutomationHost::command);
        const QByteArray message = AutomationClient::encode(names(60, QStringLiteral("x")));
        auto a = send(m_path, message.left(900), false);
        QTest::qWait(100);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("exceeded")));
        auto b = send(m_path, message.left(900), false);
        QTRY_COMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toStringList(), AutomationHost::decode(message.left(600)));
    }

    // Empty entries are dropped, entries past the bound too, and locations come in slices.
    void entriesBoundedAndSliced()
    {
        AutomationHost host;
        QSignalSpy commands(&host, &AutomationHost::command);
        QSignalSpy locations(&host, &AutomationHost::locations);
        QStringList list = QVector<QString>(200000).toList() + names(600, QStringLiteral("e"));
        auto sender = send(m_path, AutomationClient::encode(list), true); // kept until all is sent
        QVERIFY(sender);
        QTRY_COMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toStringList(), names(600, QStringLiteral("e")));
        QTRY_COMPARE(locations.count(), 3);
        QList<QUrl> all;
        for (const auto& slice : locations)
            all += slice.at(0).value<QList<QUrl>>();
        QCOMPARE(all.size(), 600);
        QCOMPARE(all.last(), QUrl::fromLocalFile(QStringLiteral("/e599.vrx")));

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("more than 65536 entries")));
        sender = send(m_path, AutomationClient::encode(names(AutomationHost::maxEntries + 5, "m")), true);
        QVERIFY(sender);
        QTRY_COMPARE(commands.count(), 2);
        QCOMPARE(commands.at(1).at(0).toStringList().size(), AutomationHost::maxEntries);
    }

    // Each message is one hand-off: its later slices say they continue it, the first slice of
    // the next message does not, even when the two messages arrive back to back.
    void slicesKnowTheirHandOff()
    {
        AutomationHost host;
        QStringList continued;
        connect(&host, &AutomationHost::locations, &host, [&](const QList<QUrl>& slice) {
            continued << QStringLiteral("%1%2").arg(host.continuesHandOff() ? "+" : "").arg(slice.size());
        });
        host.execute(names(600, QStringLiteral("a")));
        host.execute(names(300, QStringLiteral("b")));
        host.execute(names(257, QStringLiteral("c")));
        QTRY_COMPARE(continued.size(), 6);
        QCOMPARE(continued, (QStringList { "256", "+256", "+88", "256", "+44", "257" }));
        QVERIFY(!host.continuesHandOff());
    }

    // A sender is told its message was taken only once every location of it was handed on,
    // also when it waited behind another message.
    void answeredOnceHandedOn_data()
    {
        QTest::addColumn<int>("before"); // locations of a message still being handed on
        QTest::addColumn<int>("count");
        QTest::newRow("one location") << 0 << 1;
        QTest::newRow("in slices") << 0 << 600;
        QTest::newRow("behind another") << 600 << 2;
    }

    void answeredOnceHandedOn()
    {
        QFETCH(int, before);
        QFETCH(int, count);
        AutomationHost host;
        int handed = 0;
        connect(&host, &AutomationHost::locations, &host,
            [&](const QList<QUrl>& slice) { handed += slice.size(); });
        if (before > 0)
            host.execute(names(before, QStringLiteral("b")));
        // Handed on whole by the time the sender hears back.
        QCOMPARE(handOver(names(count, QStringLiteral("n"))), AutomationClient::Result::Delivered);
        QCOMPARE(handed, before + count);
    }

    // A host that quits (the event loop has ended, or "--preempt" came) stops listening and
    // closes what it has not handed on without an answer: the sender then finds no instance
    // and opens its files itself instead of counting them delivered.
    void quittingHostLeavesFilesToTheNextStart_data()
    {
        QTest::addColumn<bool>("midMessage");
        QTest::newRow("connection not read yet") << false;
        QTest::newRow("message half handed on") << true;
    }

    void quittingHostLeavesFilesToTheNextStart()
    {
        QFETCH(bool, midMessage);
        auto host = std::make_unique<AutomationHost>();
        QVERIFY(host->isListening());
        QList<QUrl> handed;
        connect(host.get(), &AutomationHost::locations, host.get(), [&](const QList<QUrl>& slice) {
            handed += slice;
            if (midMessage && !host->continuesHandOff())
                host->stopListening(); // the quit comes after the first slice
        });
        const AutomationClient::Result result
            = handOver(names(midMessage ? 600 : 1, QStringLiteral("q")), [&] {
                  if (!midMessage) {
                      QVERIFY(connectionWaiting(*host));
                      host->stopListening();
                  }
              });
        QCOMPARE(result, AutomationClient::Result::NoInstance);
        QCOMPARE(handed.size(), midMessage ? AutomationHost::sliceSize : 0);
        QVERIFY(!host->isListening());
        QVERIFY(!QFileInfo::exists(m_path));
        // Nothing more reaches it.
        QTest::qWait(AutomationHost::idleMs / 10);
        QCOMPARE(handed.size(), midMessage ? AutomationHost::sliceSize : 0);
        host.reset();
        // The next host has the name again.
        AutomationHost next;
        QVERIFY(next.isListening());
        QStringList args { QStringLiteral("/next.vrx") };
        QCOMPARE(handOver(args), AutomationClient::Result::Delivered);
    }

    // An instance of an older kind reads the message and hangs up without an answer: the
    // files count as delivered, sent once; they are not sent again (opened twice) nor opened
    // by the start as well.
    void olderInstanceThatNeverAnswers()
    {
        QLocalServer older;
        QVERIFY(older.listen(m_path));
        QList<QStringList> messages;
        connect(&older, &QLocalServer::newConnection, &older, [&] {
            QLocalSocket* socket = older.nextPendingConnection();
            auto* bytes = new QByteArray;
            connect(socket, &QLocalSocket::readyRead, socket, [&messages, socket, bytes] {
                *bytes += socket->readAll();
                const QStringList list = AutomationHost::decode(*bytes);
                if (AutomationClient::encode(list) == *bytes) {
                    messages << list;
                    socket->abort();
                }
            });
            connect(socket, &QLocalSocket::disconnected, socket, [socket, bytes] {
                delete bytes;
                socket->deleteLater();
            });
        });
        QStringList args { QStringLiteral("/to/older.vrx") };
        QCOMPARE(handOver(args), AutomationClient::Result::Delivered);
        QCOMPARE(messages, QList<QStringList> { args });
    }

    // Another instance looking whether this one listens sends nothing: no command, so the
    // window is not raised by it.
    void emptyConnectionIsNoCommand()
    {
        AutomationHost host;
        QSignalSpy commands(&host, &AutomationHost::command);
        for (int i = 0; i < 3; ++i)
            QVERIFY(send(m_path, QByteArray(), true));
        QTRY_VERIFY(host.findChildren<QLocalSocket*>().isEmpty());
        QStringList args;
        QCOMPARE(handOver(args), AutomationClient::Result::Delivered);
        QCOMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toStringList(), QStringList());
    }

    // A host that found the name taken by another instance (one still quitting after a
    // "--preempt") takes it over once that one is gone, instead of never listening.
    void takesTheNameOverOnceFree()
    {
        auto first = std::make_unique<AutomationHost>();
        QVERIFY(first->isListening());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Can't listen at .* in use")));
        AutomationHost second;
        QVERIFY(!second.isListening());
        first.reset();
        QTRY_VERIFY_WITH_TIMEOUT(second.isListening(), 20000);
        QSignalSpy locations(&second, &AutomationHost::locations);
        QStringList args { QStringLiteral("/taken/over.vrx") };
        QCOMPARE(handOver(args), AutomationClient::Result::Delivered);
        QCOMPARE(locations.count(), 1);
    }

    // accept() out of file descriptors closes the server; it listens again once it can.
    void listensAgainAfterFailedAccept()
    {
        AutomationHost host;
        QVERIFY(host.isListening());
        QSignalSpy locations(&host, &AutomationHost::locations);
        auto waiting = send(m_path, AutomationClient::encode({ QStringLiteral("/lost.vrx") }), false);
        QVERIFY(waiting);
        struct rlimit saved;
        getrlimit(RLIMIT_NOFILE, &saved);
        std::vector<int> fillers;
        for (int fd; (fd = ::dup(0)) >= 0;) {
            fillers.push_back(fd);
            if (fillers.size() == 1) {
                const struct rlimit low = { rlim_t(fd + 8), saved.rlim_max };
                setrlimit(RLIMIT_NOFILE, &low);
            }
        }
        QTRY_VERIFY(!host.isListening());
        for (int fd : fillers)
            ::close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("listening again")));
        QTRY_VERIFY_WITH_TIMEOUT(host.isListening(), 10000);
        QStringList args { QStringLiteral("/after.vrx") };
        QCOMPARE(handOver(args), AutomationClient::Result::Delivered);
        QTRY_VERIFY(!locations.isEmpty());
        QCOMPARE(locations.last().at(0).value<QList<QUrl>>(),
            QList<QUrl> { QUrl::fromLocalFile(QStringLiteral("/after.vrx")) });
    }
};

OSTRA_TEST_MAIN(TestAutomationHost)
#include "tst_automationhost.moc"

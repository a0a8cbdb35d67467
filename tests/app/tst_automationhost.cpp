#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileOpenEvent>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtConcurrent>

#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

// Writes raw bytes to the server and closes, from this thread (the kernel buffers
// small writes, so the host's own event loop need not run meanwhile).
void sendRaw(const QString& path, const QByteArray& bytes, bool close = true, QLocalSocket* keep = nullptr)
{
    QLocalSocket own;
    QLocalSocket* socket = keep ? keep : &own;
    socket->connectToServer(path, QIODevice::WriteOnly);
    QVERIFY(socket->waitForConnected(5000));
    QCOMPARE(socket->write(bytes), qint64(bytes.size()));
    QVERIFY(socket->waitForBytesWritten(5000) || socket->bytesToWrite() == 0);
    if (close)
        socket->disconnectFromServer();
}

// Leaves a socket file behind that nothing listens on, as a crashed instance does.
void makeStaleSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    QVERIFY(size_t(name.size()) < sizeof address.sun_path);
    memcpy(address.sun_path, name.constData(), size_t(name.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
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
        QSignalSpy locations(&host, &AutomationHost::locations);

        // The writer dies half-way through the third string.
        const QByteArray whole = AutomationClient::encode(
            { QStringLiteral("/one.vrx"), QStringLiteral("/two.vrx"), QStringLiteral("/three.vrx") });
        sendRaw(m_path, whole.left(whole.size() - 3));
        QTRY_COMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toStringList(),
            (QStringList { QStringLiteral("/one.vrx"), QStringLiteral("/two.vrx") }));
        QCOMPARE(locations.count(), 1);

        // A count that would make a naive reader reserve gigabytes.
        sendRaw(m_path, be32(0x7fffffff) + AutomationClient::encode({ QStringLiteral("/only.vrx") }).mid(4));
        QTRY_COMPARE(commands.count(), 2);
        QCOMPARE(commands.at(1).at(0).toStringList(), QStringList { QStringLiteral("/only.vrx") });

        // Garbage.
        QByteArray garbage;
        for (int i = 0; i < 4096; ++i)
            garbage += char((i * 7919) & 0xff);
        sendRaw(m_path, garbage);
        QTRY_COMPARE(commands.count(), 3);

        // The host still serves a good message afterwards.
        QStringList args { QStringLiteral("/after.vrx") };
        QVERIFY(AutomationClient().command(args));
        QTRY_COMPARE(commands.count(), 4);
        QCOMPARE(commands.at(3).at(0).toStringList(), QStringList { QStringLiteral("/after.vrx") });
    }

    void largeMessageArrivesWhole()
    {
        // Far more than one read or one socket buffer holds.
        AutomationHost host;
        QSignalSpy locations(&host, &AutomationHost::locations);
        QStringList files;
        for (int i = 0; i < 20000; ++i)
            files << QStringLiteral("/library/%1/some long folder name/picture-%2.vrx").arg(i % 97).arg(i);
        QStringList args = files;
        const QString server = AutomationClient::serverName();
        auto sent
            = QtConcurrent::run([args, server]() mutable { return AutomationClient(server).command(args); });
        QTRY_VERIFY_WITH_TIMEOUT(sent.isFinished(), 30000);
        QVERIFY(sent.result());
        // In slices, one per turn of the event loop.
        QList<QUrl> urls;
        QTRY_VERIFY(locations.count() * AutomationHost::sliceSize >= files.size());
        for (const auto& slice : qAsConst(locations))
            urls += slice.at(0).value<QList<QUrl>>();
        QCOMPARE(urls.size(), files.size());
        QCOMPARE(urls.last(), QUrl::fromLocalFile(files.last()));
    }

    void oversizedMessageIsCut()
    {
        AutomationHost host;
        host.setMessageLimits(1000, AutomationHost::defaultMaxMs);
        QSignalSpy commands(&host, &AutomationHost::command);
        QStringList files;
        for (int i = 0; i < 200; ++i)
            files << QStringLiteral("/f%1.vrx").arg(i, 3, 10, QLatin1Char('0'));
        const QByteArray bytes = AutomationClient::encode(files);
        QVERIFY(bytes.size() > 4000);
        QLocalSocket socket;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("exceeded 1000 bytes")));
        sendRaw(m_path, bytes, false, &socket);
        QTRY_COMPARE(commands.count(), 1);
        const QStringList kept = commands.at(0).at(0).toStringList();
        QCOMPARE(kept, AutomationHost::decode(bytes.left(1000)));
        QVERIFY(!kept.isEmpty());
        // The host hung up on the rest.
        QTRY_COMPARE(socket.state(), QLocalSocket::UnconnectedState);
    }

    void stalledWriterDoesNotHoldOthersUp()
    {
        AutomationHost host;
        QSignalSpy commands(&host, &AutomationHost::command);

        // Connects first, sends half a message and then nothing.
        const QByteArray half
            = AutomationClient::encode({ QStringLiteral("/stalled.vrx"), QStringLiteral("/never.vrx") });
        QLocalSocket stalled;
        sendRaw(m_path, half.left(half.size() - 4), false, &stalled);

        QStringList args { QStringLiteral("/prompt.vrx") };
        QVERIFY(AutomationClient().command(args));
        QTRY_COMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toStringList(), QStringList { QStringLiteral("/prompt.vrx") });

        // The stalled writer goes away: what it sent in whole is kept.
        stalled.abort();
        QTRY_COMPARE(commands.count(), 2);
        QCOMPARE(commands.at(1).at(0).toStringList(), QStringList { QStringLiteral("/stalled.vrx") });
    }

    void stalledWriterRunsOutOfTime()
    {
        AutomationHost host;
        host.setMessageLimits(AutomationHost::defaultMaxBytes, 200);
        QSignalSpy commands(&host, &AutomationHost::command);
        const QByteArray half
            = AutomationClient::encode({ QStringLiteral("/stalled.vrx"), QStringLiteral("/never.vrx") });
        QLocalSocket stalled;
        sendRaw(m_path, half.left(half.size() - 4), false, &stalled);
        QTest::ignoreMessage(QtWarningMsg, "A hand-off message did not end in time; keeping what arrived");
        QTRY_COMPARE(commands.count(), 1);
        QCOMPARE(commands.at(0).at(0).toStringList(), QStringList { QStringLiteral("/stalled.vrx") });
        QTRY_COMPARE(stalled.state(), QLocalSocket::UnconnectedState);
    }

    void staleSocketIsReplaced()
    {
        makeStaleSocket(m_path);
        QVERIFY(QFileInfo::exists(m_path));
        AutomationHost host;
        QVERIFY(host.isListening());
        QSignalSpy locations(&host, &AutomationHost::locations);
        QStringList args { QStringLiteral("/z.vrx") };
        QVERIFY(AutomationClient().command(args));
        QTRY_COMPARE(locations.count(), 1);
    }
};

OSTRA_TEST_MAIN(TestAutomationHost)
#include "tst_automationhost.moc"

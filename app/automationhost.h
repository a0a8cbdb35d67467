#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QQuickItem>
#include <QStringList>
#include <QUrl>

#include <limits>
#include <utility>

class QLocalServer;
class QLocalSocket;
class QTimer;

// The listening side of the single-instance hand-off, declared by the main window.
// Every connection carries one string list: "--preempt" first asks this instance to
// quit (suicide), anything else is a list of files (locations). What a sender can make it
// hold is bounded: connections at once, bytes per connection and across all of them, entries
// per message (empty ones are dropped). A connection that sends nothing for `idleMs` is
// closed (what arrived is used), and when every place is taken while others wait, the one
// idle longest makes room, so idle connections never hold up a hand-off. Should the server close (accept()
// fails when the process is out of file descriptors, and the server then closes and removes its socket), it
// listens again.
class AutomationHost : public QQuickItem
{
    Q_OBJECT
public:
    explicit AutomationHost(QQuickItem* parent = nullptr);
    ~AutomationHost() override;

    // Whether the server listens.
    bool isListening() const;
    QString serverPath() const { return m_serverPath; }

    // The strings of one message, as far as the bytes hold whole strings, at most
    // `maxEntries` of them, without the empty ones when `skipEmpty`. The count in the
    // message is not trusted beyond what the bytes can hold.
    static QStringList decode(
        const QByteArray& bytes, int maxEntries = std::numeric_limits<int>::max(), bool skipEmpty = false);

    // Bounds of one connection: bytes kept, and time from connection to the end of
    // the message. What arrived within them is used.
    void setMessageLimits(qint64 maxBytes, int maxMs);
    static constexpr qint64 defaultMaxBytes = 64 * 1024 * 1024;
    static constexpr int defaultMaxMs = 30000;
    // Bounds across connections: how many are read at once (more wait in the queue) and the
    // bytes held by all of them; a connection that would go past the latter is cut as one
    // past its own bound.
    void setConnectionLimits(int maxConnections, qint64 maxTotalBytes);
    static constexpr int defaultMaxConnections = 16;
    static constexpr qint64 defaultMaxTotalBytes = 128 * 1024 * 1024;
    // Entries of one message that are used, and locations handed on at a time: the
    // locations of one message reach the window in slices, one per turn of the event loop.
    static constexpr int maxEntries = 65536;
    static constexpr int sliceSize = 256;

    // During `locations`: whether the slice continues the message of the slice before (a
    // message is one hand-off: the window adds its later slices to the session the first
    // one opened).
    Q_INVOKABLE bool continuesHandOff() const { return m_continuing; }
    // A connection that sends nothing for this long is done; one idle for `evictIdleMs`
    // gives its place to a waiting one.
    static constexpr int idleMs = 1000;
    static constexpr int evictIdleMs = 100;

signals:
    void command(QStringList args);
    void suicide();
    void locations(QList<QUrl> locations);

public slots:
    void newConnection();
    void execute(QStringList args);

private:
    struct Pending
    {
        QByteArray bytes;
        QTimer* timer = nullptr;
        QTimer* idle = nullptr;
        QElapsedTimer quiet; // since the last bytes (or the connection)
        bool overflow = false;
    };

    enum class Listen { Listening, InUse, Failed };
    Listen listen();
    void checkServer();
    void readFrom(QLocalSocket* socket);
    void finish(QLocalSocket* socket);
    // Closes the connection idle longest when it has been idle for `evictIdleMs`; false
    // when none has (the caller tries again later).
    bool evictIdle();
    void handOnSlice();

    QLocalServer* m_server = nullptr;
    QString m_serverPath;
    bool m_listening = false; // the name is this host's (it may be listening again soon)
    QTimer* m_serverCheck = nullptr;
    std::pair<quint64, quint64> m_socketId; // device and inode of the socket file listened at
    qint64 m_maxBytes = defaultMaxBytes;
    int m_maxMs = defaultMaxMs;
    int m_maxConnections = defaultMaxConnections;
    qint64 m_maxTotalBytes = defaultMaxTotalBytes;
    qint64 m_heldBytes = 0; // by all pending connections
    QHash<QLocalSocket*, Pending> m_pending;
    QTimer* m_evictRetry = nullptr;
    // Messages whose locations are not all handed on yet, oldest first.
    struct Outgoing
    {
        QList<QUrl> locations;
        int sent = 0;
    };
    QList<Outgoing> m_outbox;
    bool m_continuing = false;
};

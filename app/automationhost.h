#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPointer>
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
// listens again. A host that could not listen because another instance had the name (one
// that is quitting, say) takes the name over once that one is gone.
//
// A message read whole is answered with one byte, `takenReply`, once all its locations are
// handed on; a sender that sees the connection close without it knows its files were not
// taken. A host that quits (or is asked to by "--preempt") stops listening first and closes
// what it has not handed on without that answer, so a start that comes meanwhile opens its
// files itself.
class AutomationHost : public QQuickItem
{
    Q_OBJECT
public:
    explicit AutomationHost(QQuickItem* parent = nullptr);
    ~AutomationHost() override;

    // Whether the server listens.
    bool isListening() const;
    // Stops listening for good and closes every connection whose message is not handed on
    // yet, unanswered. Runs when the application is about to quit.
    void stopListening();
    // The answer to a message taken whole.
    static constexpr char takenReply = 'T';
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
        // How far the message is known whole: strings still to come, and where the next
        // one starts (the count is read once four bytes are there).
        bool counted = false;
        quint32 left = 0;
        qint64 next = 4;
    };

    enum class Listen { Listening, InUse, Failed };
    // Listens at the server name; `tell` logs why it does not.
    Listen listen(bool tell);
    void checkServer();
    void readFrom(QLocalSocket* socket);
    void finish(QLocalSocket* socket);
    // Whether the bytes read so far hold the whole message (and notes how far they do).
    static bool whole(Pending& pending);
    // Answers that the message was taken, and closes.
    static void answerTaken(QLocalSocket* socket);
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
        QPointer<QLocalSocket> sender; // answered once every location is handed on
    };
    QList<Outgoing> m_outbox;
    bool m_continuing = false;
    bool m_stopped = false;
};

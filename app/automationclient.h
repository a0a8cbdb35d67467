#pragma once

#include <QByteArray>
#include <QObject>
#include <QStringList>

// The sending side of the single-instance hand-off: passes a command line to the
// running instance's AutomationHost over a local socket.
class AutomationClient : public QObject
{
    Q_OBJECT
public:
    enum class Result {
        Delivered, // the running instance took the arguments
        NoInstance, // nothing listens: this start is the instance
        Preempted, // the running instance was asked to quit and is gone
        Failed, // an instance listens but the message did not get through
        NotTaken, // the instance hung up without answering (told apart before send returns)
    };
    Q_ENUM(Result)

    // With a parent, installs itself as the parent's event filter so that file-open
    // events take the same road.
    explicit AutomationClient(QObject* parent = nullptr);

    // A client for the named server, built without reading the settings; for use off
    // the GUI thread.
    explicit AutomationClient(const QString& serverName, QObject* parent = nullptr);

    // True when the arguments were delivered to a running instance. A leading
    // "--preempt" is taken out of `args`.
    bool command(QStringList& args);

    // The same, with the outcome told apart. Relative paths are sent as absolute ones.
    // Delivered only once the instance has answered that it took them; blocks until then, so
    // not on the thread of the instance's own host.
    Result send(QStringList& args);

    bool eventFilter(QObject* watched, QEvent* event) override;

    // The keyword that asks the running instance to quit.
    static QString preemptKeyword();

    // The socket of a server name: a relative name lives in the runtime folder.
    static QString serverPath(const QString& name);

    // The server name the settings hold ("LocalSocketPath"), with the application id
    // when there is none.
    static QString serverName();

    // One message: a stream (version Qt_5_6, big-endian) holding one string list.
    static QByteArray encode(const QStringList& message);

    // How long the client waits for the connection, for the bytes to be written, and
    // for a preempted instance to stop listening.
    static constexpr int connectTimeoutMs = 1000;
    static constexpr int writeTimeoutMs = 30000;
    static constexpr int preemptPauseMs = 1000;
    static constexpr int preemptTimeoutMs = 10000;

private:
    // Whether a server answers at the name.
    bool listening() const;
    bool waitUntilGone() const;
    // One connection: sends the message and waits for the answer.
    Result deliver(const QByteArray& bytes);

    QString m_serverPath;
};

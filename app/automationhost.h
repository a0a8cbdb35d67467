#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QQuickItem>
#include <QStringList>
#include <QUrl>

class QLocalServer;
class QLocalSocket;
class QTimer;

// The listening side of the single-instance hand-off, declared by the main window.
// Every connection carries one string list: "--preempt" first asks this instance to
// quit (suicide), anything else is a list of files (locations).
class AutomationHost : public QQuickItem
{
    Q_OBJECT
public:
    explicit AutomationHost(QQuickItem* parent = nullptr);
    ~AutomationHost() override;

    // Whether the server listens.
    bool isListening() const { return m_listening; }
    QString serverPath() const { return m_serverPath; }

    // The strings of one message, as far as the bytes hold whole strings. The count
    // in the message is not trusted beyond what the bytes can hold.
    static QStringList decode(const QByteArray& bytes);

    // Bounds of one connection: bytes kept, and time from connection to the end of
    // the message. What arrived within them is used.
    void setMessageLimits(qint64 maxBytes, int maxMs);
    static constexpr qint64 defaultMaxBytes = 64 * 1024 * 1024;
    static constexpr int defaultMaxMs = 30000;

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
        bool overflow = false;
    };

    void listen();
    void readFrom(QLocalSocket* socket);
    void finish(QLocalSocket* socket);

    QLocalServer* m_server = nullptr;
    QString m_serverPath;
    bool m_listening = false;
    qint64 m_maxBytes = defaultMaxBytes;
    int m_maxMs = defaultMaxMs;
    QHash<QLocalSocket*, Pending> m_pending;
};

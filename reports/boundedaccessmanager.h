#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>

// An access manager whose every request ends within bounds: a request that transfers
// nothing for `transferTimeoutMs` is aborted (a server that never answers), the body is
// asked for as it is (no compression, so that a small reply cannot inflate into a huge
// one), and a reply whose body grows past `maxReplyBytes` is aborted. The body is read
// as it comes and kept for the reply's handler (`bodyOf`).
class BoundedAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    static constexpr int kDefaultTransferTimeoutMs = 60000;
    static constexpr qint64 kDefaultMaxReplyBytes = 1 << 20;

    explicit BoundedAccessManager(QObject* parent = nullptr);

    int transferTimeoutMs() const { return m_transferTimeoutMs; }
    void setTransferTimeoutMs(int ms);
    qint64 maxReplyBytes() const { return m_maxReplyBytes; }
    void setMaxReplyBytes(qint64 bytes) { m_maxReplyBytes = bytes; }

    // The body a reply of such a manager has brought (at most its bound), or what is
    // left to read of any other reply.
    static QByteArray bodyOf(QNetworkReply* reply);
    // Whether the reply was aborted because its body grew past the bound.
    static bool exceeded(const QNetworkReply* reply);

protected:
    QNetworkReply* createRequest(
        Operation operation, const QNetworkRequest& request, QIODevice* outgoingData) override;

private:
    int m_transferTimeoutMs = kDefaultTransferTimeoutMs;
    qint64 m_maxReplyBytes = kDefaultMaxReplyBytes;
};

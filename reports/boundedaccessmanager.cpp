#include "reports/boundedaccessmanager.h"

#include <QNetworkRequest>

#include "reports/logging.h"

namespace {

const char kBody[] = "boundedBody";
const char kExceeded[] = "boundedExceeded";
// What the access manager buffers before the body is read.
constexpr qint64 kReadBufferBytes = 64 * 1024;

} // namespace

BoundedAccessManager::BoundedAccessManager(QObject* parent)
    : QNetworkAccessManager(parent)
{
    setTransferTimeout(m_transferTimeoutMs);
}

void BoundedAccessManager::setTransferTimeoutMs(int ms)
{
    m_transferTimeoutMs = ms > 0 ? ms : kDefaultTransferTimeoutMs;
    setTransferTimeout(m_transferTimeoutMs);
}

QNetworkReply* BoundedAccessManager::createRequest(
    Operation operation, const QNetworkRequest& original, QIODevice* outgoingData)
{
    QNetworkRequest request(original);
    request.setRawHeader("Accept-Encoding", "identity");
    if (request.transferTimeout() <= 0)
        request.setTransferTimeout(m_transferTimeoutMs);
    QNetworkReply* reply = QNetworkAccessManager::createRequest(operation, request, outgoingData);
    reply->setReadBufferSize(kReadBufferBytes);
    const qint64 limit = m_maxReplyBytes;
    connect(reply, &QIODevice::readyRead, reply, [reply, limit] {
        QByteArray body = reply->property(kBody).toByteArray();
        const QByteArray more = reply->readAll();
        if (reply->property(kExceeded).toBool())
            return;
        if (body.size() + more.size() > limit) {
            qCWarning(lcReports) << "Reply larger than" << limit << "bytes; aborted:" << reply->url();
            reply->setProperty(kExceeded, true);
            reply->setProperty(kBody, QVariant());
            // Not from inside the reply's own signal.
            QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
            return;
        }
        reply->setProperty(kBody, body + more);
    });
    return reply;
}

QByteArray BoundedAccessManager::bodyOf(QNetworkReply* reply)
{
    if (!qobject_cast<BoundedAccessManager*>(reply->manager()))
        return reply->readAll();
    return reply->property(kBody).toByteArray() + reply->readAll();
}

bool BoundedAccessManager::exceeded(const QNetworkReply* reply)
{
    return reply->property(kExceeded).toBool();
}

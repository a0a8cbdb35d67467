#include "reports/zendeskbackend.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslSocket>
#include <QtGui/private/qzipreader_p.h>

#include "reports/logging.h"
#include "reports/networkjob.h"

namespace {

constexpr int kUnprocessable = 422;

} // namespace

ZendeskBackend::ZendeskBackend(QObject* parent)
    : NetworkBackend(parent)
{ }

void ZendeskBackend::setOurs(const QStringList& ours)
{
    m_ours = QSet<QString>(ours.begin(), ours.end());
}

QStringList ZendeskBackend::ours() const
{
    QStringList digests(m_ours.begin(), m_ours.end());
    digests.sort();
    return digests;
}

QVariantList ZendeskBackend::planRoute(EvidenceTrace& state)
{
    if (!m_enabled || !QSslSocket::supportsSsl())
        return {};
    QZipReader zip(state.key().toLocalFile(), QIODevice::ReadOnly);
    const QByteArray json = zip.fileData(QStringLiteral("UserFeedback.json"));
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (document.isObject())
        state.info = document.object().toVariantMap();
    QByteArray text;
    for (const QZipReader::FileInfo& entry : zip.fileInfoList()) {
        if (entry.isFile && entry.filePath.startsWith(QLatin1String("UserFeedback"))
            && entry.filePath.endsWith(QLatin1String(".txt")))
            text = zip.fileData(entry.filePath);
    }
    state.body = text.isEmpty() ? json : text;

    const QString contact = state.info.value(QStringLiteral("contact")).toString();
    const QUrl mail(QStringLiteral("mailto://") + contact, QUrl::TolerantMode);
    if (mail.isValid()) {
        const QByteArray digest = QCryptographicHash::hash(
            mail.host(QUrl::FullyDecoded).toLower().toLatin1(), QCryptographicHash::Md5)
                                      .toHex();
        if (m_ours.contains(QString::fromLatin1(digest)))
            return {};
    }
    state.addStep({ key() });
    return {};
}

bool ZendeskBackend::accept(EvidenceTrace& state, const osm::Step& step)
{
    Q_UNUSED(step)
    return QSslSocket::supportsSsl() && !retryPending() && state.accessible
        && state.isRouteDone({ QStringLiteral("amazon") });
}

QByteArray ZendeskBackend::document(EvidenceTrace& state) const
{
    const QString contact = state.info.value(QStringLiteral("contact")).toString();
    if (!contact.contains(QLatin1Char('@')))
        state.anonymous = true;
    QJsonObject requester;
    if (state.anonymous) {
        requester.insert(QStringLiteral("name"), contact.isEmpty() ? m_author : contact);
    } else {
        requester.insert(QStringLiteral("name"), m_author);
        requester.insert(QStringLiteral("email"), contact);
    }
    QString subject = m_header;
    for (auto it = state.info.constBegin(); it != state.info.constEnd(); ++it)
        subject.replace(QStringLiteral("${") + it.key() + QLatin1Char('}'), it.value().toString());
    const QJsonObject comment { { QStringLiteral("body"), QString::fromUtf8(state.body) },
        { QStringLiteral("data"), QJsonObject { { QStringLiteral("public"), false } } } };
    const QJsonObject request { { QStringLiteral("requester"), requester },
        { QStringLiteral("subject"), subject }, { QStringLiteral("comment"), comment } };
    return QJsonDocument(QJsonObject { { QStringLiteral("request"), request } })
        .toJson(QJsonDocument::Compact);
}

osm::Job* ZendeskBackend::execute(EvidenceTrace& state, const osm::Step& step)
{
    auto* buffer = new QBuffer();
    buffer->setData(document(state));
    buffer->open(QIODevice::ReadOnly);
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(m_domain, QUrl::DecodedMode);
    url.setPath(QStringLiteral("/api/v2/requests.json"));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    stampRoute(request, state.key(), step);
    QNetworkReply* reply = networker->accessManager()->post(request, buffer);
    networker->watchProgress(reply, &QNetworkReply::uploadProgress);
    return new NetworkJob(reply, buffer);
}

void ZendeskBackend::onNetworkResponseFinished(QNetworkReply* reply)
{
    const bool unprocessable
        = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == kUnprocessable;
    onReplyFinished(
        reply,
        [unprocessable](EvidenceTrace& state, const osm::Step&, bool) {
            if (unprocessable)
                state.anonymous = true;
        },
        QNetworkAccessManager::PostOperation);
    // The anonymous request goes after one back-off step, not after the long wait of
    // other failures.
    if (unprocessable) {
        qCDebug(lcReports) << "Ticket refused; resending anonymously";
        scheduleRetry(backoff().stepMs);
    }
}

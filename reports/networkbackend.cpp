#include "reports/networkbackend.h"

#include <QDateTime>
#include <QMetaEnum>
#include <QNetworkRequest>

#include <algorithm>
#include <climits>

#include "reports/boundedaccessmanager.h"
#include "reports/infouploader.h"
#include "reports/logging.h"

NetworkBackend::NetworkBackend(QObject* parent)
    : osm::Backend(parent)
{
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(0);
    connect(&m_retryTimer, &QTimer::timeout, this, &NetworkBackend::retry);
}

NetworkBackend::~NetworkBackend() = default;

void NetworkBackend::setBackoff(const Backoff& backoff)
{
    if (backoff == m_backoff)
        return;
    m_backoff = backoff;
    // A running timer restarts with the lowered interval.
    if (m_retryTimer.interval() > m_backoff.ceilMs)
        m_retryTimer.setInterval(m_backoff.ceilMs);
    emit backoffChanged();
}

InfoUploader* NetworkBackend::master() const
{
    return m_master;
}

void NetworkBackend::setMaster(InfoUploader* master)
{
    m_master = master;
    if (master)
        master->addBackend(this);
}

void NetworkBackend::scheduleRetry(int ms)
{
    m_retryTimer.start(ms);
}

void NetworkBackend::retry()
{
    if (!machine)
        return;
    for (const QUrl& url : machine->stateKeys()) {
        if (EvidenceTrace* state = machine->findState(url))
            machine->rethink(*state);
    }
}

void NetworkBackend::stampRoute(QNetworkRequest& request, const QUrl& state, const osm::Step& step)
{
    request.setAttribute(QNetworkRequest::User, QVariantList { state } + step);
}

int NetworkBackend::retryTimeout(QNetworkReply* reply, int defaultMs)
{
    qCDebug(lcReports) << "default retry timeout" << defaultMs;
    int result = defaultMs;
    const QByteArray retryAfter("Retry-After");
    if (reply->hasRawHeader(retryAfter)) {
        const QString text = QString::fromLatin1(reply->rawHeader(retryAfter)).trimmed();
        bool ok = false;
        const int seconds = text.toInt(&ok);
        if (ok) {
            result = int(std::clamp(qint64(seconds) * 1000, qint64(0), qint64(INT_MAX)));
        } else {
            const QDateTime when = QDateTime::fromString(text, Qt::RFC2822Date);
            if (when.isValid()) {
                const QDateTime date = QDateTime::fromString(
                    QString::fromLatin1(reply->rawHeader("Date")).trimmed(), Qt::RFC2822Date);
                const qint64 ms = date.isValid() ? date.msecsTo(when) : 0;
                result = int(std::clamp(ms, qint64(0), qint64(INT_MAX)));
            }
        }
    }
    qCDebug(lcReports) << "adjusted retry timeout" << result;
    return result;
}

bool NetworkBackend::delivered(QNetworkReply* reply, QNetworkAccessManager::Operation sent)
{
    if (reply->error() != QNetworkReply::NoError)
        return false;
    if (sent != QNetworkAccessManager::PutOperation && sent != QNetworkAccessManager::PostOperation)
        return true;
    // A followed 301, 302 or 303 turns the request into a GET of the page it names.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return reply->operation() == sent && status >= 200 && status < 300;
}

void NetworkBackend::onReplyFinished(
    QNetworkReply* reply, const Callback& callback, QNetworkAccessManager::Operation sent)
{
    const bool ok = delivered(reply, sent);
    if (!ok && reply->error() == QNetworkReply::NoError) {
        qCWarning(lcReports) << "Not taken in: answered"
                             << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() << "to"
                             << reply->url();
    } else if (!ok) {
        qCDebug(lcReports) << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error())
                           << reply->errorString() << BoundedAccessManager::bodyOf(reply);
    }
    const QVariantList route = reply->request().attribute(QNetworkRequest::User).toList();
    if (route.isEmpty()) {
        qCDebug(lcReports) << "Empty route" << reply->request().url();
        return;
    }
    const QUrl url = route.first().toUrl();
    const osm::Step step = route.mid(1);
    EvidenceTrace* state = machine ? machine->findState(url) : nullptr;
    if (state) {
        state->markStep(step, ok);
        if (callback)
            callback(*state, step, ok);
    } else {
        qCDebug(lcReports) << "No such state" << url;
    }

    if (ok) {
        m_retryTimer.setInterval(0);
        return;
    }
    // The back-off's step for this failure: it grows with every failure in a row, up to
    // the ceiling. A time the server asks for is honoured within [step, ceiling], so
    // that a "Retry-After" of 0, or a date without a "Date" to measure it against,
    // never makes the retries come faster than the back-off.
    const qint64 grown = qint64(m_backoff.factor) * m_retryTimer.interval() + m_backoff.stepMs;
    const int ceiling = std::max(m_backoff.ceilMs, 0);
    const int backoffMs = int(std::clamp(grown, qint64(0), qint64(ceiling)));
    const int asked = retryTimeout(reply, backoffMs);
    m_retryTimer.start(std::clamp(asked, backoffMs, ceiling));
}

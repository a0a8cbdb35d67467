#pragma once

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include <functional>

#include "reports/backoff.h"
#include "reports/evidencetrace.h"
#include "reports/networker.h"
#include "reports/osm/backend.h"
#include "reports/osm/dependent.h"
#include "reports/osm/labordivision.h"
#include "reports/osm/machine.h"

class InfoUploader;
class QNetworkRequest;

// A route back-end that talks to a network service through its master's access
// manager. Failed replies start its retry timer (with back-off after a 429); while the
// timer runs, its steps wait.
class NetworkBackend : public osm::Backend,
                       public osm::Dependent<Networker>,
                       public osm::LaborDivision<EvidenceTrace>
{
    Q_OBJECT
    Q_PROPERTY(InfoUploader* master READ master WRITE setMaster)
    Q_PROPERTY(Backoff backoff READ backoff WRITE setBackoff NOTIFY backoffChanged)
public:
    using Callback = std::function<void(EvidenceTrace& state, const osm::Step& step, bool ok)>;

    explicit NetworkBackend(QObject* parent = nullptr);
    ~NetworkBackend() override;

    virtual QVariant key() const = 0;

    Backoff backoff() const { return m_backoff; }
    void setBackoff(const Backoff& backoff);
    void setMaster(InfoUploader* master);
    InfoUploader* master() const;

    bool retryPending() const { return m_retryTimer.isActive(); }
    int retryInterval() const { return m_retryTimer.interval(); }

    // Puts [state URL, step...] into the request's User attribute.
    static void stampRoute(QNetworkRequest& request, const QUrl& state, const osm::Step& step);
    // The time to wait before a retry: "Retry-After" in seconds, or as a date measured
    // against the reply's own "Date"; else `defaultMs`.
    static int retryTimeout(QNetworkReply* reply, int defaultMs);

public slots:
    virtual void onNetworkResponseFinished(QNetworkReply* reply) = 0;
    void scheduleRetry(int ms);
    void retry();

signals:
    void backoffChanged();

protected:
    // The reply handler every network back-end shares: closes the step the reply
    // carries, calls `callback`, and arms the retry timer after a failure. `sent` is the
    // operation the request went out with (see delivered()).
    void onReplyFinished(QNetworkReply* reply, const Callback& callback,
        QNetworkAccessManager::Operation sent = QNetworkAccessManager::GetOperation);

public:
    // Whether a reply means success: no error and, for a request that carried a body (`sent`
    // is a PUT or a POST), a 2xx answer to that same operation. A redirection left
    // unfollowed, or followed by fetching a page with GET, took nothing in.
    static bool delivered(QNetworkReply* reply, QNetworkAccessManager::Operation sent);

private:
    QTimer m_retryTimer;
    Backoff m_backoff;
    QPointer<InfoUploader> m_master;
};

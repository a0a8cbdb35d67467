#include "reports/infouploader.h"

#include <QFile>
#include <QNetworkRequest>

#include <climits>

#include "reports/logging.h"

InfoUploader::InfoUploader(QObject* parent)
    : NetworkBackend(parent)
    , m_progress(new ProgressModel(this))
{
    machine = this;
    networker = this;
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    connect(
        &m_manager, &QNetworkAccessManager::networkAccessibleChanged, this,
        [this](QNetworkAccessManager::NetworkAccessibility accessible) { setNetworkAccessible(accessible); },
        Qt::QueuedConnection);
    QT_WARNING_POP
    connect(&m_manager, &QNetworkAccessManager::finished, this, &InfoUploader::onNetworkResponseFinished,
        Qt::QueuedConnection);
    connect(this, &InfoUploader::uploaded, this, &InfoUploader::remove, Qt::QueuedConnection);
}

InfoUploader::~InfoUploader()
{
    for (EvidenceTrace& state : m_states)
        state.dropJobs();
    // Back-ends that outlive their master (their retry timer, a late checksum) find no machine.
    for (auto& [key, backend] : m_backends) {
        if (backend && backend != this) {
            backend->machine = nullptr;
            backend->networker = nullptr;
        }
    }
}

void InfoUploader::watchProgress(QNetworkReply* reply, ProgressSignal signal)
{
    connect(reply, signal, this, &InfoUploader::onNetworkResponseProgress);
}

EvidenceTrace* InfoUploader::findState(const QUrl& key)
{
    const auto it = m_states.find(key);
    return it == m_states.end() ? nullptr : &it.value();
}

NetworkBackend* InfoUploader::backend(const QVariant& key) const
{
    const auto it = m_backends.find(key);
    return it == m_backends.end() ? nullptr : it->second.data();
}

void InfoUploader::upload(const QUrl& report)
{
    if (m_states.contains(report))
        return;
    advance(*m_states.insert(report, EvidenceTrace(report)));
}

void InfoUploader::remove(const QUrl& report)
{
    const auto it = m_states.find(report);
    if (it != m_states.end()) {
        it->dropJobs();
        m_states.erase(it);
    }
    if (!m_autoRemove)
        return;
    const QString path = report.toLocalFile();
    if (!path.isEmpty() && QFile::exists(path) && !QFile::remove(path))
        qCDebug(lcReports) << "Feedback: can't remove" << path;
}

void InfoUploader::cancelAll()
{
    QHash<QUrl, EvidenceTrace> states;
    states.swap(m_states);
    for (EvidenceTrace& state : states)
        state.dropJobs();
    m_progress->reset();
}

void InfoUploader::addBackend(NetworkBackend* backend)
{
    if (!backend)
        return;
    backend->machine = this;
    backend->networker = this;
    m_backends[backend->key()] = backend;
}

void InfoUploader::setBackends(const QObjectList& backends)
{
    for (QObject* object : backends) {
        if (auto* backend = qobject_cast<NetworkBackend*>(object))
            addBackend(backend);
    }
}

void InfoUploader::setNetworkAccessible(int accessibility)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const bool accessible = accessibility == QNetworkAccessManager::Accessible;
    QT_WARNING_POP
    for (const QUrl& url : m_states.keys()) {
        if (EvidenceTrace* state = findState(url)) {
            state->accessible = accessible;
            rethink(*state);
        }
    }
}

void InfoUploader::onNetworkResponseProgress(qint64 done, qint64 total)
{
    if (done == 0 && total == 0)
        return;
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    m_progress->setPartialProgress(done, total, reply->request().attribute(QNetworkRequest::User));
}

QVariantList InfoUploader::planRoute(EvidenceTrace& state)
{
    Q_UNUSED(state)
    QVariantList keys;
    for (const auto& entry : m_backends)
        keys << entry.first;
    return keys;
}

bool InfoUploader::accept(EvidenceTrace& state, const osm::Step& step)
{
    NetworkBackend* owner = step.isEmpty() ? nullptr : backend(step.first());
    return owner && owner->accept(state, step);
}

osm::Job* InfoUploader::execute(EvidenceTrace& state, const osm::Step& step)
{
    NetworkBackend* owner = step.isEmpty() ? nullptr : backend(step.first());
    return owner ? owner->execute(state, step) : nullptr;
}

void InfoUploader::visit(NetworkBackend* backend, EvidenceTrace& state, QMap<QString, bool>& visited)
{
    visited.insert(backend->key().toString(), true);
    const QVariantList keys = backend->planRoute(state);
    for (const QVariant& key : keys) {
        if (visited.contains(key.toString()))
            continue;
        if (NetworkBackend* next = this->backend(key))
            visit(next, state, visited);
    }
}

void InfoUploader::advance(EvidenceTrace& state)
{
    QMap<QString, bool> visited;
    visit(this, state, visited);
    rethink(state);
}

void InfoUploader::rethink(EvidenceTrace& state)
{
    qCDebug(lcReports) << "rethink" << state.key();
    if (state.announced)
        return;
    if (state.isRouteDone({})) {
        // Once only: a later rethink before the queued removal must not announce it again.
        state.announced = true;
        emit uploaded(state.key());
        return;
    }
    osm::StepMap<bool> route = state.route;
    for (const auto& [step, done] : route) {
        if (done)
            continue;
        const auto job = state.jobs.find(step);
        if (job != state.jobs.end() && job->second)
            continue;
        if (accept(state, step))
            state.jobs[step] = execute(state, step);
    }
}

void InfoUploader::onNetworkResponseFinished(QNetworkReply* reply)
{
    qCDebug(lcReports) << "finished" << reply->url();
    const QVariantList route = reply->request().attribute(QNetworkRequest::User).toList();
    qCDebug(lcReports) << "route" << route;
    if (route.size() >= 2) {
        const QUrl url = route.at(0).toUrl();
        const QVariant key = route.at(1);
        qCDebug(lcReports) << "route" << route << url << key;
        NetworkBackend* owner = backend(key);
        if (owner && url.isValid() && m_states.contains(url)) {
            reply->waitForReadyRead(INT_MAX);
            owner->onNetworkResponseFinished(reply);
            if (reply->error() != QNetworkReply::NoError)
                emit failed(url, reply->errorString());
            if (EvidenceTrace* state = findState(url))
                rethink(*state);
        }
    }
    delete reply;
}

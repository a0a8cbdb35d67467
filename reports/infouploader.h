#pragma once

#include <QHash>
#include <QNetworkAccessManager>
#include <QObjectList>
#include <QUrl>

#include "core/progressmodel.h"
#include "reports/boundedaccessmanager.h"
#include "reports/evidencetrace.h"
#include "reports/networkbackend.h"
#include "reports/networker.h"
#include "reports/osm/machine.h"

// The master of the upload route machine: one EvidenceTrace per report file, routed
// through the registered back-ends until no step is left; then `uploaded`.
class InfoUploader : public NetworkBackend, public Networker, public osm::Machine<EvidenceTrace>
{
    Q_OBJECT
    Q_PROPERTY(ProgressModel* progress READ progressModel CONSTANT)
    Q_PROPERTY(bool autoRemove READ autoRemove WRITE setAutoRemove)
public:
    explicit InfoUploader(QObject* parent = nullptr);
    ~InfoUploader() override;

    QVariant key() const override { return QString(); }

    // Networker
    QNetworkAccessManager* accessManager() override { return &m_manager; }
    ProgressModel* progressModel() override { return m_progress; }
    void watchProgress(QNetworkReply* reply, ProgressSignal signal) override;

    // Machine
    void advance(EvidenceTrace& state) override;
    void rethink(EvidenceTrace& state) override;
    EvidenceTrace* findState(const QUrl& key) override;
    QList<QUrl> stateKeys() const override { return m_states.keys(); }

    // As a back-end: plans every filed back-end, and forwards each step to its own.
    QVariantList planRoute(EvidenceTrace& state) override;
    bool accept(EvidenceTrace& state, const osm::Step& step) override;
    osm::Job* execute(EvidenceTrace& state, const osm::Step& step) override;

    NetworkBackend* backend(const QVariant& key) const;
    bool autoRemove() const { return m_autoRemove; }

public slots:
    void upload(const QUrl& report);
    void remove(const QUrl& report);
    void cancelAll();
    void addBackend(NetworkBackend* backend);
    void setBackends(const QObjectList& backends);
    void setAutoRemove(bool on) { m_autoRemove = on; }
    // A QNetworkAccessManager::NetworkAccessibility value (the enumeration is deprecated).
    void setNetworkAccessible(int accessibility);
    void onNetworkResponseProgress(qint64 done, qint64 total);
    // The reply router: hands each finished reply to the back-end that asked for it.
    void onNetworkResponseFinished(QNetworkReply* reply) override;

signals:
    void uploaded(const QUrl& trace);
    // A step of the report failed; the report stays and the step is tried again later.
    void failed(const QUrl& trace, const QString& reason);

private:
    void visit(NetworkBackend* backend, EvidenceTrace& state, QMap<QString, bool>& visited);

    QHash<QUrl, EvidenceTrace> m_states;
    BoundedAccessManager m_manager;
    ProgressModel* m_progress;
    bool m_autoRemove = false;
};

#pragma once

#include <QIODevice>
#include <QNetworkReply>
#include <QPointer>

#include "reports/osm/job.h"

// A step that runs as one network request. The reply belongs to the reply router,
// which deletes it when it has finished, so the job only watches it.
class NetworkJob : public osm::Job
{
    Q_OBJECT
public:
    // The upload device, if any, becomes a child of the reply and dies with it.
    explicit NetworkJob(QNetworkReply* reply, QIODevice* device = nullptr, QObject* parent = nullptr);

    QNetworkReply* reply() const { return m_reply; }

    // Aborts the reply while it runs; its `finished` then finds no state and is dropped.
    void cancel() override;

private:
    QPointer<QNetworkReply> m_reply;
    QPointer<QIODevice> m_device;
};

#include "reports/networkjob.h"

NetworkJob::NetworkJob(QNetworkReply* reply, QIODevice* device, QObject* parent)
    : osm::Job(parent)
    , m_reply(reply)
    , m_device(device)
{
    if (device && reply)
        device->setParent(reply);
}

void NetworkJob::cancel()
{
    if (m_reply && m_reply->isRunning())
        m_reply->abort();
}

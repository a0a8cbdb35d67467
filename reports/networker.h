#pragma once

class QNetworkAccessManager;
class QNetworkReply;
class ProgressModel;
class EvidenceTrace;

namespace osm {
template <typename S> class Machine;
}

// What the master lends its network back-ends: the access manager, the progress model,
// and a way to report a reply's progress to it.
class Networker
{
public:
    using MachineType = osm::Machine<EvidenceTrace>;
    using ProgressSignal = void (QNetworkReply::*)(qint64, qint64);

    virtual ~Networker() = default;
    virtual QNetworkAccessManager* accessManager() = 0;
    virtual ProgressModel* progressModel() = 0;
    // Connects the reply's uploadProgress or downloadProgress signal to the master.
    virtual void watchProgress(QNetworkReply* reply, ProgressSignal signal) = 0;
};

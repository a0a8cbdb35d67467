#pragma once

#include "capture/capturerequest.h"
#include "capture/devicesession.h"
#include "capture/sessionproxy.h"
#include "pipeline/interfaces/ibailiff.h"
#include "platform/portabledevice.h"
#include "platform/transferfile.h"

#include <QMutex>
#include <QObject>
#include <QThreadPool>

#include <memory>

class QThread;
class SessionListener;

// One open session with a portable device. Every device call (open, list, read, copy,
// delete) runs on a thread of the session's own (DeviceSession); the operations here only
// queue requests there and return, and the answers come back as queued reports. The GUI
// thread never waits on the device, not even when the session goes: the device thread
// then finishes on its own. Item transfers and videos are answered exactly once: a cancel
// answers the waiting ones at once, and the device thread's later answer is dropped.
class WinSessionProxy : public QObject, public SessionProxy
{
    Q_OBJECT
public:
    using RequestKind = DeviceSession::RequestKind;

    // Opens the device on the session's thread (a read-only open when access is denied).
    WinSessionProxy(DeviceSession::Opener opener, const CaptureRequest& request, SessionListener* listener,
        IFileCalls& calls = systemFileCalls());
    // A device opened already; it goes to the session's thread.
    WinSessionProxy(std::unique_ptr<IPortableDevice> device, const CaptureRequest& request,
        SessionListener* listener, IFileCalls& calls = systemFileCalls());
    ~WinSessionProxy() override;

    void start() override;
    void transfer(QUrl target, Recipe recipe) override;
    void fetchPreset(QString path, QString objectId, uint32_t size) override;
    void cancelPendingRequests() override;
    // The device reads one file at a time; the files after it wait in its queue, so that
    // it reads the next while the last ones are forced to disk, and those go together.
    int capacity() override { return kTransfersQueued; }
    static constexpr int kTransfersQueued = 8;
    void remove(QString remoteId) override;
    void fetchVideo(VideosModel::DownloadRequest request) override;
    bool isDevice() override { return true; }
    bool hasExtension() override { return false; }
    void runExtension() override { }

    // The image service's bailiff, asked to let go of a target before it is replaced.
    void setBailiff(IBailiff* bailiff) { m_bailiff = bailiff; }

    // A complete copy from the device thread: forced to disk and renamed over its target
    // on a thread of its own, then answered once its folder is forced too. Copies that
    // complete while an earlier one is being forced wait and go together: each file is
    // synced and renamed, every folder among them synced once, then all are answered.
    void commit(const DeviceSession::Request& request, std::shared_ptr<TransferFile> file);

private:
    // Runs `f` on the device thread.
    void post(std::function<void(DeviceSession*)> f);
    quint64 await(DeviceSession::Request request);
    void answer(const DeviceSession::Request& request, PortableDevice::Result result);
    // On the commit thread: puts every waiting copy in place.
    void commitWaiting();

    struct WaitingCommit
    {
        DeviceSession::Request request;
        std::shared_ptr<TransferFile> file;
        std::shared_ptr<QSemaphoreReleaser> eviction;
    };

    std::shared_ptr<DeviceSession::Link> m_link;
    QThread* m_thread = nullptr;
    DeviceSession* m_session = nullptr;
    SessionListener* m_listener;
    IBailiff* m_bailiff = nullptr;
    QThreadPool m_commits;
    QMutex m_waitingMutex;
    QList<WaitingCommit> m_waiting; // guarded by m_waitingMutex
    quint64 m_lastSerial = 0;
};

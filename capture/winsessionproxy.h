#pragma once

#include "capture/capturedimage.h"
#include "capture/capturerequest.h"
#include "capture/sessionproxy.h"
#include "pipeline/interfaces/ibailiff.h"
#include "platform/portabledevice.h"
#include "platform/transferfile.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QThreadPool>

#include <memory>

class SessionListener;

// One open session with a portable device. Listing, property reads and copies run on the
// GUI thread in queued steps of at most 24 ms; the device's events and bulk results
// arrive on its thread and are posted here as copies.
class WinSessionProxy : public QObject, public SessionProxy, private IDeviceEventSink
{
    Q_OBJECT
public:
    enum RequestKind { ItemTransfer = 0, ReservedFile = 1, PresetFile = 2, Video = 3, VideoPreview = 4 };

    WinSessionProxy(std::unique_ptr<IPortableDevice> device, const CaptureRequest& request,
        SessionListener* listener, IFileCalls& calls = systemFileCalls());
    ~WinSessionProxy() override;

    void start() override;
    void transfer(QUrl target, Recipe recipe) override;
    void fetchPreset(QString path, QString objectId, uint32_t size) override;
    void cancelPendingRequests() override;
    int capacity() override { return 1; }
    void remove(QString remoteId) override;
    void fetchVideo(VideosModel::DownloadRequest request) override;
    bool isDevice() override { return true; }
    bool hasExtension() override { return false; }
    void runExtension() override { }

    // The image service's bailiff, asked to let go of a target before it is replaced.
    void setBailiff(IBailiff* bailiff) { m_bailiff = bailiff; }

    static constexpr qint64 kSliceMs = 24;

signals:
    void tomorrowIsAnotherDay();

public slots:
    void nextMorning();
    void queryRawOid(QString id);
    void enumerateId(QString id);
    void clearRawOid(QString id);

private:
    struct Request
    {
        RequestKind kind = ItemTransfer;
        Recipe recipe;
        QString objectId;
        QUrl target;
        QString path;
        qint64 size = 0;
        VideosModel::DownloadRequest video; // kind 3
    };

    void schedule();
    bool inBudget() const { return m_frame.elapsed() < kSliceMs; }
    void listChildren(const QString& parent);
    bool examine(const QString& id);
    // Takes one object's properties in; items go to `found`. True for a folder.
    bool process(const DeviceObject& object, QList<CapturedImage>* found);
    void deleteRemovals();
    void startTransfer();
    PortableDevice::Result copyChunk();
    // Closes the copy; true when it is complete and must be committed.
    bool finish(bool aborted);
    void commit(const Request& request);
    void report(const Request& request, PortableDevice::Result result);
    void reportCancelled(const Request& request);
    void onBulkEnded(quint64 context, PortableDevice::Result result);

    // Device thread.
    void objectAdded(const QString& id) override;
    void objectRemoved(const QString& id) override;
    void deviceRemoved() override;
    void bulkStarted(quint64 context) override;
    void bulkProgress(quint64 context, const QList<DeviceObject>& objects) override;
    void bulkEnded(quint64 context, PortableDevice::Result result) override;

    std::unique_ptr<IPortableDevice> m_device;
    SessionListener* m_listener;
    IFileCalls& m_calls;
    IBailiff* m_bailiff = nullptr;
    QSet<QString> m_reserved;
    QString m_dataFolder;
    QElapsedTimer m_frame;
    bool m_scheduled = false;
    bool m_bulk = false;
    quint64 m_bulkContext = 0;
    quint64 m_lastContext = 0;
    QStringList m_pendingIds;
    QStringList m_bulkIds;
    QSet<QString> m_knownIds;
    QMap<QByteArray, CapturedImage> m_files;
    QList<Request> m_requests;
    QStringList m_removals;
    // The copy under way.
    bool m_copying = false;
    Request m_current;
    std::unique_ptr<IDeviceStream> m_source;
    std::shared_ptr<TransferFile> m_destination;
    QThreadPool m_commits;
    QByteArray m_buffer;
    qint64 m_expected = 0;
    qint64 m_readLimit = 0;
    qint64 m_read = 0;
    qint64 m_written = 0;
};

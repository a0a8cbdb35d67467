#pragma once

#include "capture/capturedimage.h"
#include "capture/capturerequest.h"
#include "capture/videosmodel.h"
#include "pipeline/interfaces/recipe.h"
#include "platform/ifilecalls.h"
#include "platform/portabledevice.h"
#include "platform/transferfile.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSet>

#include <functional>
#include <memory>

class SessionListener;
class WinSessionProxy;

// The work of one portable-device session, on the device's own thread: opening the
// device, listing its object tree, reading properties, copying objects into host files and
// deleting objects. Nothing here runs on the GUI thread, so a slow or hung device holds
// only this thread. Work is cut into queued steps so that requests, cancels and the
// device's events are served between them. Reports are posted to the session listener
// and emitted on its thread, through the link, which the owner cuts when it goes;
// complete copies go back to the owner to be committed.
class DeviceSession : public QObject, private IDeviceEventSink
{
    Q_OBJECT
public:
    enum RequestKind { ItemTransfer = 0, ReservedFile = 1, PresetFile = 2, Video = 3, VideoPreview = 4 };

    struct Request
    {
        RequestKind kind = ItemTransfer;
        Recipe recipe;
        QString objectId;
        QUrl target;
        QString path;
        qint64 size = 0;
        VideosModel::DownloadRequest video; // kind 3
        quint64 serial = 0; // item transfers and videos: the owner waits for their answer
    };

    // What the owner and the device thread share; every member under the mutex.
    struct Link
    {
        QMutex mutex;
        SessionListener* listener = nullptr; // null once the owner is gone
        WinSessionProxy* owner = nullptr;
        IPortableDevice* device = nullptr; // while it is open: the owner may cancel it
        QHash<quint64, Request> awaited; // item transfers and videos not answered yet
        // Takes the request `serial` out of the awaited ones; false when it was answered
        // already (cancelled by the owner). Serial 0 is never awaited: always true.
        bool take(quint64 serial);
    };

    using Opener = std::function<PortableDevice::Result(bool readOnly, std::unique_ptr<IPortableDevice>*)>;

    DeviceSession(
        Opener opener, const CaptureRequest& request, std::shared_ptr<Link> link, IFileCalls& calls);
    ~DeviceSession() override;

    static constexpr qint64 kSliceMs = 24;
    static constexpr int kMaxDepth = 64; // folders deeper than this are not listed
    static constexpr int kBatch = 500; // files found reported at once at most
    static constexpr qint64 kFlushMs = 100; // files found wait this long at most

    // Reports the end of a request (GUI thread or device thread).
    static void report(SessionListener* listener, const Request& request, PortableDevice::Result result);
    static void reportCancelled(SessionListener* listener, const Request& request);

    // Device thread; queued by the owner.
    void open();
    void start();
    void transfer(QUrl target, Recipe recipe, quint64 serial);
    void enqueue(const Request& request);
    void remove(QString remoteId);
    void cancel();
    // Cancels, lets the device go and ends the thread.
    void shutdown();

signals:
    void tomorrowIsAnotherDay();

public slots:
    void nextMorning();
    void queryRawOid(QString id);
    void enumerateId(QString id);
    void clearRawOid(QString id);

private:
    void schedule();
    // The owner is gone: nothing is reported or logged any more.
    bool orphaned() const;
    bool inBudget() const { return m_frame.elapsed() < kSliceMs; }
    void listChildren(const QString& parent, int depth);
    bool examine(const QString& id);
    bool process(const DeviceObject& object, QList<CapturedImage>* found);
    void deleteRemovals();
    // Whether the object is still the file that was listed (and copied) under its id.
    bool unchangedSinceListed(const QString& id);
    void startTransfer();
    PortableDevice::Result copyChunk();
    bool finish(bool aborted);
    void onBulkEnded(quint64 context, PortableDevice::Result result);
    void enumerationEnded();
    // Runs `f` with the listener on the listener's thread, while the owner is there.
    void tell(std::function<void(SessionListener*)> f);
    // The same with the link's mutex held.
    void toListener(std::function<void(SessionListener*)> f);
    // The same for the last answer of a request, once.
    void answer(const Request& request, PortableDevice::Result result);
    void reportFound(const QList<CapturedImage>& found);
    // Reports the files examined since the last time, as one batch.
    void flushFound();

    // Device threads.
    void objectAdded(const QString& id) override;
    void objectRemoved(const QString& id) override;
    void deviceRemoved() override;
    void bulkStarted(quint64 context) override;
    void bulkProgress(quint64 context, const QList<DeviceObject>& objects) override;
    void bulkEnded(quint64 context, PortableDevice::Result result) override;

    Opener m_opener;
    std::shared_ptr<Link> m_link;
    std::unique_ptr<IPortableDevice> m_device;
    IFileCalls& m_calls;
    QString m_deviceId;
    QSet<QString> m_reserved;
    QString m_dataFolder;
    bool m_openFailed = false;
    bool m_startWanted = false;
    QElapsedTimer m_frame;
    bool m_scheduled = false;
    bool m_bulk = false;
    bool m_enumerating = false;
    quint64 m_bulkContext = 0;
    quint64 m_lastContext = 0;
    quint64 m_found = 0; // objects seen in the listing
    QList<QPair<QString, int>> m_pendingIds; // id and depth
    int m_nextId = 0; // first entry of m_pendingIds not taken yet
    QSet<QString> m_seenIds; // every id listed once: a cycle is listed once only
    QStringList m_bulkIds;
    QSet<QString> m_knownIds;
    QMap<QByteArray, CapturedImage> m_files;
    // What the device told of each file object when it was first listed: a picture is
    // deleted only while the device still tells the same.
    QHash<QString, DeviceObject> m_listed;
    // Ids the device told removed since they were listed: an object found under one later
    // (a camera uses ids again) is another file, never deleted by this session.
    QSet<QString> m_removedIds;
    QList<CapturedImage> m_foundBatch;
    QElapsedTimer m_sinceFlush;
    QList<Request> m_requests;
    QStringList m_removals;
    bool m_copying = false;
    Request m_current;
    std::unique_ptr<IDeviceStream> m_source;
    std::shared_ptr<TransferFile> m_destination;
    QByteArray m_buffer;
    qint64 m_expected = 0;
    qint64 m_readLimit = 0;
    qint64 m_read = 0;
    qint64 m_written = 0;
};

#pragma once

#include "capture/capturedimage.h"
#include "capture/capturefilereader.h"
#include "capture/capturerequest.h"
#include "capture/sessionfactory.h"
#include "capture/videosmodel.h"
#include "core/leavableworker.h"
#include "core/progressratio.h"
#include "pipeline/ifilesink.h"
#include "pipeline/iprovider.h"

#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QList>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QSet>
#include <QStandardItemModel>
#include <QUrl>
#include <QUuid>
#include <QVector>

#include <cstdint>
#include <memory>
#include <vector>

class IBailiff;
class ReplyTarget;
class IPipeline;
class RecipeBatch;
class SessionListener;
class SessionProxy;

// The item model of one connected camera: one row per picture, holding where its preview,
// state and raw files are on the device, what the preview's EXIF data and the state file
// say of it, and how far its import has come. It is also the source through which the
// pipeline fetches the device's files: previews and state files go to the device's cache
// folder as soon as they are found, and the files the user imports go to the library.
// GUI thread only; the transport's reports arrive through the listener. The files it reads
// (previews, state files, "metadata.xml", the calibration) may be on the camera's card: they
// are read one after another on a thread of the session's own, and what they say is taken
// in on the GUI thread in the order the files came.
class CaptureSession : public QStandardItemModel, public IProvider
{
    Q_OBJECT
    Q_PROPERTY(IFileSink* pipeline READ pipeline NOTIFY pipelineChanged)
public:
    // The item roles.
    enum Role : int {
        LinkIdRole = 257, // the item key: the link id its files share
        SelectedRole, // answered from the selection model, never stored
        TransferringRole, // bool: some import of the picture is under way
        TransferredRole, // bool: every import asked for has the picture
        ToRemoveRole, // bool: the picture's files are being deleted on the device
        ThmRemoteIdRole, // the preview's remote id
        ThmFileNameRole, // the preview's file name
        ThmFileSizeRole, // the preview's size in bytes
        StateRemoteIdRole, // the state file's remote id
        StateFileNameRole, // the state file's name
        StateFileSizeRole, // the state file's size in bytes
        RawRemoteIdRole, // the raw file's remote id
        RawFileNameRole, // the raw file's name
        RawFileSizeRole, // the raw file's size in bytes
        LocationRole, // QUrl of the preview read locally
        AspectWidthRole, // int: displayed width
        AspectHeightRole, // int: displayed height
        OrientationRole, // EXIF orientation, 1 when absent
        TimestampRole, // EXIF date-time text
        ImageUuidRole, // QUuid of the picture
        VrxStateRole, // QUrl of the state file read locally
        RatingRole, // int stars
        EditedRole, // bool: the state file holds an edited preview
    };

    // The blocks of roles whose keys name them (see roleNames); each ends with its count.
    enum Coordinate { LinkId, Selected, Transferring, Transferred, ToRemove, Coordinates };
    Q_ENUM(Coordinate)
    // Offsets from the first role of a file kind.
    enum Component { RemoteId, FileName, FileSize, Components };
    Q_ENUM(Component)
    enum ExifTag { Location, AspectWidth, AspectHeight, Orientation, Timestamp, ImageUUID, ExifTags };
    Q_ENUM(ExifTag)
    enum UserTag { VRXState, Rating, Edited, UserTags };
    Q_ENUM(UserTag)

    // Creates the transport side with `factory` and starts it. `pipeline` may be null
    // (attach later); `bailiff` may be null.
    CaptureSession(const SessionFactory& factory, const CaptureRequest& request, IFileSink* pipeline,
        IBailiff* bailiff, QObject* parent = nullptr);
    ~CaptureSession() override;

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    IFileSink* pipeline() const { return m_pipeline; }
    QString deviceId() const { return m_request.deviceId; }
    // The camera's UUID from its calibration file once the device handed it over; until
    // then a stable name-based UUID of the device id.
    QUuid deviceUuid() const { return m_deviceUuid; }
    // The device is connected through a real transport (not lost, not a placeholder).
    bool isLive() const;
    bool isEnumerated() const { return m_enumerated; }
    bool isCorrelated() const { return m_correlated; }
    // Files are being read (off the GUI thread) and not yet taken in.
    bool isReading() const { return !m_reading.isEmpty(); }
    QItemSelectionModel* selectionModel() { return &m_selection; }
    const CaptureRequest& request() const { return m_request; }

    // What the capture model asks of the device.
    void providerForward24(); // drop every queued device request
    void providerForward16(QString path, QString objectId, uint32_t size); // fetch a preset
    void providerForward48(VideosModel::DownloadRequest request); // fetch a video
    void forwardState(const QModelIndex& index, bool on); // select or deselect a row
    void pushName(const QString& remoteId); // delete one file on the device
    // Adds a step for the item's file of kind `role` (262, 265, 268) to `batch`, into `folder`.
    void itemFromRecord(RecipeBatch* batch, const QModelIndex& index, int role, const QDir& folder) const;
    // Marks the item for removal and deletes its files on the device.
    void touchItem(const QModelIndex& index);

    // IProvider.
    int capacity(QString ioChannel) override;
    QString routeKey() override;
    void attach(IFileSink* sink) override;
    Validator validator() override;
    bool adopt(QUrl target, Recipe recipe) override;
    void fetch(QUrl target, Recipe recipe, Arbiter arbiter) override;
    bool reclaim(QUrl target, Recipe recipe) override;
    void freeImage(Recipe recipe, QUuid imageUuid, QModelIndex index) override;
    void imageChanged(Recipe recipe, QUuid imageUuid, QModelIndex index, IHarvest* harvest) override;
    bool isRaw(Recipe recipe) override;

signals:
    void notifyEnumerated(bool enumerated);
    void notifyCorrelated(bool correlated);
    void notifyDeviceLost();
    void deviceFound();
    void notifyPresetFound(QString name, QString objectID, uint32_t size);
    void notifyVideoThumbnailReady(QString name, QString path);
    void notifyVideoFound(QString name, QString objectID, qint64 size, QDateTime dateCreated);
    void notifyReserved(QString name, QUrl file);
    void sourceSelectionChanged(QItemSelection selected, QItemSelection deselected);
    void itemChanged(QModelIndex index, QVector<int> roles);
    void videoMetadataReceived(QHash<QString, VideosModel::VideoMetadata> metadata);
    void reportProgress(qlonglong downloaded);
    void videoDownloaded(VideosModel::DownloadRequest request);
    void pipelineChanged();
    void deviceUuidChanged();

public slots:
    void onReserved(QString name, QUrl file);
    void onEnumerated(bool enumerated);
    void onProgress(QUrl location, Recipe recipe, ProgressRatio progress);
    void onItemsFound(QList<CapturedImage> found);
    void onItemsRemoved(QStringList idList);
    void onItemFile(QUrl location, Recipe recipe);
    // Opens (true) or closes a group of reports that the pipeline journals together.
    void onBatch(bool open);
    void onItem(QUrl location, Recipe recipe, int role, QModelIndex index, bool preexisting);
    void onObstacle(QUrl location, Recipe recipe, IFileSink::Error error);
    void onDeviceLost();
    void parseComponent(int role, QModelIndex index, QUrl location);
    void parseThumbnail(QModelIndex index, QUrl location);
    void parseStateFile(QModelIndex index, QUrl location);
    void parseMetadata(QUrl location);
    void checkCorrelation();

private:
    // A file that is there locally: a file of an item (then, once read, the item takes it
    // and the pipeline hears of it) or a reserved file.
    struct Arrival
    {
        QUrl location;
        Recipe recipe;
        int role = 0; // the file kind of an item's file, 0 for a reserved file
        QPersistentModelIndex row;
        bool preexisting = false;
        bool finish = true; // false: only read it into the item
        // A local file (a camera volume's): queued with the pipeline when it is finished, in
        // the same turn, so that no pass finds it queued and not yet complete (its own
        // target, present) while it is read.
        bool queue = false;
        QString reserved; // the name of a reserved file
        QUrl shown; // the item's preview on screen when the read was asked for
    };
    struct Batch
    {
        QList<Arrival> arrivals;
        bool quiet = false; // announced as one dataChanged at the end
    };
    // What the session's thread read of one arrival.
    struct Reading
    {
        CaptureFileReader::Preview preview;
        CaptureFileReader::State state;
        CaptureFileReader::Metadata metadata;
        QUuid camera;
        bool shownExists = false;
    };

    // Reads the arrivals' files on the session's thread, then takes them in.
    void readThenTake(const QList<Arrival>& arrivals, bool quiet);
    void take(const std::vector<Reading>& readings);
    static Arrival itemArrival(
        const QUrl& location, const Recipe& recipe, int role, const QModelIndex& row, bool preexisting);
    void applyPreview(QStandardItem* item, const Arrival& arrival, const Reading& reading);
    void applyState(QStandardItem* item, const Arrival& arrival, const CaptureFileReader::State& state);
    void applyMetadata(const CaptureFileReader::Metadata& metadata);
    void applyReserved(const Arrival& arrival, const Reading& reading);
    // What follows the read of an item's file.
    void finishItem(
        const QUrl& location, Recipe recipe, int role, const QModelIndex& index, bool preexisting);

    // A file of an item handed to the pipeline: fetched into the cache, or already local.
    struct Entry
    {
        QUrl location;
        Recipe recipe;
        Arbiter arbiter;
        int kind = 0;
        QPersistentModelIndex row;
        bool local = false;
    };

    QStandardItem* itemOf(const QModelIndex& index) const;
    // Puts the entries to the pipeline (when one takes requests) and takes the local ones in.
    void enter(const QList<Entry>& entries);
    // Shows the harvest's state in roles 259 and 260 (only an active one unless `always`).
    void showHarvest(const QModelIndex& index, IHarvest* harvest, bool always);

    CaptureRequest m_request;
    IBailiff* m_bailiff = nullptr;
    SessionListener* m_listener = nullptr;
    // The listener detached at device loss, deleted once reports on their way are through.
    QPointer<SessionListener> m_lostListener;
    SessionProxy* m_proxy = nullptr;
    QPointer<IFileSink> m_pipeline;
    QUuid m_deviceUuid;
    bool m_live = true;
    bool m_enumerated = false;
    bool m_correlated = false;
    QSet<int> m_pendingPreviews;
    // A batch of local files is being taken in: the correlation (after which the pipeline
    // takes a queued file without a local original for gone) waits until every file of
    // the batch, the raw files after the previews, is known to the pipeline.
    bool m_taking = false;
    QItemSelectionModel m_selection;
    QHash<QString, QPersistentModelIndex> m_items;
    // Per link id, the remote id each file kind was first listed under: the file the picture
    // was copied from. Freeing a picture deletes only these; another object found later under
    // the same name (the picture taken again) is a new picture and stays on the device. An
    // empty id: the device removed the file first listed, whatever it lists there later.
    QHash<QString, QHash<int, QString>> m_listedIds;
    QHash<QString, int> m_pendingStars;
    // Files found while no pipeline was attached, entered when one is.
    QList<Entry> m_deferred;
    // The batches being read, oldest first.
    QList<Batch> m_reading;
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_reads;
};

Q_DECLARE_METATYPE(CaptureSession*)

#pragma once

#include "core/leavableworker.h"
#include "core/progresshandler.h"
#include "core/progressmodel.h"
#include "engine/channelorder.h"
#include "engine/depthclient.h"
#include "engine/editorlending.h"
#include "engine/exportqueue.h"
#include "engine/fileperm.h"
#include "engine/galleryrows.h"
#include "engine/iimageservice.h"
#include "engine/imageclient.h"
#include "engine/imageeditor.h"
#include "engine/imagekeeper.h"
#include "engine/indexscheduler.h"
#include "engine/indextask.h"
#include "engine/iresolver.h"
#include "engine/metahistory.h"
#include "engine/patchbatch.h"
#include "engine/thumbnailbudget.h"
#include "engine/unreadablewatch.h"
#include "engine/vrxmetadata.h"
#include "pipeline/interfaces/ibailiff.h"

#include <QDir>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <atomic>
#include <functional>
#include <memory>

namespace CIAPI {
class RendererBase;
}
class AsyncTask;

// The per-file image service: one keeper per file URL remembering the file's rendered
// output for its listeners, metadata, thumbnail and load tasks on a bounded share of the
// process-wide thread pool, a watch on files that are not readable yet, and the lock
// registry that every user of raw files shares. Lives on the GUI thread. Its jobs are
// done by members: the index scheduler, the gallery rows, the watch of unreadable files
// and the editor lending.
class ExportPlanner;
class ReplyTarget;

class ImageLocator : public IResolver, public IBailiff, public IImageService
{
    Q_OBJECT
    Q_INTERFACES(IImageService)
    Q_PROPERTY(bool cpuSupported READ cpuSupported CONSTANT)
    Q_PROPERTY(bool backgroundProcessing READ backgroundProcessing WRITE setBackgroundProcessing NOTIFY
            backgroundProcessingChanged)
    Q_PROPERTY(int lowSpaceMb READ lowSpaceMb WRITE setLowSpaceMb)
    Q_PROPERTY(int applyTuning READ applyTuning WRITE setApplyTuning NOTIFY applyTuningChanged)
    Q_PROPERTY(QString reasonForPowerRequest READ reasonForPowerRequest WRITE setReasonForPowerRequest)
    Q_PROPERTY(FilePerm* filePerm READ filePerm CONSTANT)
    Q_PROPERTY(IBailiff* bailiff READ bailiff CONSTANT)
    Q_PROPERTY(Metahistory* metahistory READ metahistory WRITE setMetahistory)
    Q_PROPERTY(int channelOrder READ channelOrder WRITE setChannelOrder NOTIFY channelOrderChanged)
    Q_PROPERTY(ProgressModel* exportProgress READ exportProgress CONSTANT)
    Q_PROPERTY(ProgressHandler* patchProgressHandler READ patchProgressHandler CONSTANT)
    Q_PROPERTY(int thumbnailBudgetMb READ thumbnailBudgetMb WRITE setThumbnailBudgetMb)
    Q_PROPERTY(int memoryBudgetMb READ memoryBudgetMb WRITE setMemoryBudgetMb)
    Q_PROPERTY(int patchUndoCount READ patchUndoCount NOTIFY patchUndoCountChanged)

public:
    static constexpr int kGlRgba = ChannelOrder::kGlRgba;
    static constexpr int kGlBgra = ChannelOrder::kGlBgra;

    explicit ImageLocator(QObject* parent = nullptr);
    // At most `threadCount` tasks of this locator run at once.
    ImageLocator(int threadCount, QObject* parent);
    // Waits for running tasks; tasks that never started are dropped.
    ~ImageLocator() override;

    bool cpuSupported() const;
    bool backgroundProcessing() const { return m_backgroundProcessing; }
    int applyTuning() const { return m_applyTuning; }
    void setApplyTuning(int applyTuning);
    int channelOrder() const override { return m_channelOrder; }
    void setChannelOrder(int channelOrder);
    void setReasonForPowerRequest(const QString& reason);
    QString reasonForPowerRequest() const { return m_reasonForPowerRequest; }
    int lowSpaceMb() const { return int(m_lowSpaceBytes >> 20); }
    FilePerm* filePerm() const { return m_filePerm; }
    IBailiff* bailiff() { return this; }
    ProgressModel* exportProgress() const { return m_exportProgress; }
    ProgressHandler* patchProgressHandler() const { return m_patchProgressHandler; }
    int threadCount() const { return m_scheduler.threadCount(); }
    // Free bytes an export's target volume must keep.
    qint64 lowSpaceBytes() const { return m_lowSpaceBytes; }
    Metahistory* metahistory() const;
    // The resident memory the whole process aims to stay within. The pictures kept for
    // the gallery get a quarter of it at most.
    static constexpr qint64 kDefaultMemoryBudget = qint64(1024) << 20;
    static constexpr int kThumbnailShare = 4;
    int memoryBudgetMb() const { return int(m_memoryBudget >> 20); }
    void setMemoryBudgetMb(int mb);
    // Memory the pictures kept for the gallery may take (within their share of the
    // process's budget); beyond it the least recently shown ones that no item holds are
    // dropped and read again when asked for.
    int thumbnailBudgetMb() const { return int(m_thumbnailLimit >> 20); }
    void setThumbnailBudgetMb(int mb) { setThumbnailBudgetBytes(qint64(mb) << 20); }
    void setThumbnailBudgetBytes(qint64 bytes);
    const ThumbnailBudget& thumbnails() const { return m_thumbnails; }
    int keeperCount() const { return m_keepers.size(); }
    int rowCount() const { return m_rows.count(); }

    // A file no gallery lists any more (its session was closed or changed): once this turn
    // of the event loop ends, what the service keeps for it goes (keeper, kept picture,
    // waiting tasks, gallery values) unless an item still shows it or it was asked for
    // again meanwhile; then the allocator's free memory is returned to the system.
    Q_INVOKABLE void forgetFile(QUrl url);

    // The key under which a file is known everywhere in the service (IImageService).
    using IImageService::fileKey;

    // The display items' side (IImageService).
    void requestLoad(QUrl url, ImageClient* client) override;
    void releaseClient(QUrl url, ImageClient* client) override;
    // Lends one of the two editors with the file open in it; blocks while both are lent
    // or being recycled.
    ImageEditor* openForView(QUrl url, DepthClient* client) override;
    // Never blocks; see editorFreed().
    ImageEditor* tryOpenForView(QUrl url, DepthClient* client) override;
    // Hands an editor back: its listeners are detached at once, its pending exports are
    // written and its state saved on a recycle thread, then it is free again.
    void releaseEditorSlot(ImageEditor* editor, ImageClient* client) override;
    // The editor lent out last (null before the first).
    ImageEditor* currentEditor() { return m_lending.current(); }
    ExportQueue* exportQueue() const { return m_exportQueue; }
    // Runs after the pending exports of an editor handed back were written, before it is
    // saved and closed (diagnostics and tests).
    void setRecycleProbe(std::function<void(ImageEditor&)> probe)
    {
        m_lending.setRecycleProbe(std::move(probe));
    }
    // Runs on the worker of every background open of the lent editors once its files are
    // read, before the editor shows the picture (diagnostics and tests).
    void setOpenProbe(ImageViewer::OpenProbe probe) { m_lending.setOpenProbe(probe); }
    // Runs wherever a file's source is made, before its path is resolved, for the files
    // asked for afterwards (tests hold it there).
    void setSourceProbe(std::function<void(const QUrl&)> probe) { m_sourceProbe = std::move(probe); }
    // How many opens and ratings wait now for an editor handed back to save their picture.
    int opensWaitingForSave() const { return m_lending.waitingForSave(); }
    // The picture went to the bin: edits kept since a save of it was refused go with it,
    // and never reach the next picture of its name. Edits of it that an editor finds it gone
    // for are not told as lost either. GUI thread.
    void forgetKeptEdits(const QUrl& url);
    // Where edits that could not be saved are kept across a crash or a quit (the
    // application's data folder by default; empty: nowhere). Setting it picks up the edits
    // kept there, and writes those whose picture's disk takes them now.
    QString keptEditsFolder() const { return m_lending.keptFolder(); }
    void setKeptEditsFolder(const QString& folder);

    // The file's keeper, made on first use.
    std::shared_ptr<ImageKeeper> keeperFor(const QUrl& url);
    bool hasKeeper(const QUrl& url) const { return m_keepers.contains(fileKey(url)); }
    int pendingCount() const;
    // Indexing tasks handed to the pool that have not ended.
    int runningCount() const { return m_scheduler.runningCount(); }
    bool isWatched(const QUrl& url) const;
    // What the last indexing result said of a file (empty until one came).
    QMap<int, QVariant> indexedValues(const QUrl& url) const { return m_rows.value(fileKey(url)); }
    // Whether two URLs name the same file of the service (their file keys are equal).
    Q_INVOKABLE bool sameFile(const QUrl& a, const QUrl& b) const { return fileKey(a) == fileKey(b); }
    // Whether the last indexing result found the file written by a newer format.
    Q_INVOKABLE bool isIncompatible(const QUrl& url) const
    {
        return indexedValues(url).value(IResolver::Incompatible).toBool();
    }

    // IResolver: one row of gallery values per file, rebuilt from every indexing result;
    // an empty row while an unknown file's metadata is read (the row then comes with
    // `resolved`).
    const QHash<int, QByteArray>& roleNames() const override { return m_rows.roleNames(); }
    QMap<int, QVariant> rowFor(QUrl location) override;

    // Called on pool threads at fixed points of every task (for diagnostics and tests).
    void setTaskProbe(IndexTask::Probe probe) { m_scheduler.setProbe(std::move(probe)); }
    // Applies the current tuning and channel order to a renderer.
    std::function<void(CIAPI::RendererBase&)> rendererSetup() const;

    // IBailiff
    std::shared_ptr<QSemaphoreReleaser> evictPath(QString path) override;
    // Waits for every reader of the file; on the GUI thread at most the file lock
    // registry's GUI bound (an empty holder then says the file stayed busy).
    std::shared_ptr<QSemaphoreReleaser> evict(QUrl url) override;
    std::shared_ptr<QSemaphoreReleaser> tryEvict(QUrl url, int timeoutMs) override;

    // Sets a picture's star rating in its state file, the lent editor that shows it and its
    // gallery row. The record is written and synced on a thread of its own, in the order of
    // the clicks (the state file's lock may be held by a batch edit for a while), and shown
    // once written; when the write fails (lock held elsewhere, file not writable) they show
    // what the state file holds instead. The caller never waits.
    Q_INVOKABLE void rate(QUrl url, int rating) override;
    // Ratings still being written.
    int ratingsBeingWritten() const { return m_ratingWrites; }
    // How long a rating waits for the state file's lock: a batch edit holds it through a
    // whole render and save of the picture, which may take seconds.
    static constexpr int kRatingLockWaitMs = 30000;
    void setRatingLockWait(int ms) { m_ratingLockWaitMs = ms; }
    Q_INVOKABLE void close();

    // Batch edits, one picture after another on the batch thread; progress goes to
    // `patchProgressHandler`, changed pictures are read again for the gallery.
    // `properties` is copied at once and not touched afterwards. False when nothing was
    // started: no pictures, no properties, or an apply that may not save (it would change
    // nothing).
    Q_INVOKABLE bool applyProperties(QList<QUrl> locations, ImageProperties* properties, bool shouldSave);
    Q_INVOKABLE void revertToOriginal(QList<QUrl> locations);
    Q_INVOKABLE void undoPatch();
    Q_INVOKABLE void clearPatchUndoStack();
    Q_INVOKABLE bool loadProperties(QUrl location, ImageProperties* properties);
    int patchUndoCount() const { return m_batch->undoCount(); }
    // The pictures the batch edits could not change, since the last batch that started
    // with none running (asked once the progress ends).
    Q_INVOKABLE QList<QUrl> patchFailures() const { return m_batch->failedFiles(); }
    PatchBatch& patchBatch() { return *m_batch; }
    // Records of valid pictures kept for background processing.
    const QHash<QUrl, VrxMetadata>& candidates() const { return m_candidates; }
    int retryCount() const { return m_watch.retryCount(); }
    // Re-offers the pictures whose compression failed.
    Q_INVOKABLE void retryOptimize();
    // Export lists whose folder and names are being prepared (their outputs not queued yet).
    int exportListsPending() const;

    // Compresses the raw file in place on the compression thread; a file whose source is
    // being compressed already is left alone. The new record comes back as an indexing
    // result; a failed job leaves the file and its row as they were.
    void spawnImageCompression(VrxMetadata metadata, std::shared_ptr<StreamSource> source);
    Q_INVOKABLE QUrl filePathToUrl(QString file) const;

signals:
    void notifyResourcesAvailableSignal();
    void channelOrderChanged(int channelOrder);
    void applyTuningChanged(int applyTuning);
    void notifyUuidKnown(QUuid dev, QUuid img);
    void notifyFileIndexedSignal(VrxMetadata metadata);
    void notifyFileInvalidSignal(QUrl location);
    // A file's contents changed (saved by an editor or a batch edit, or written by another
    // program): its row and pictures are being read again.
    void notifyFileUpdatedSignal(QUrl location);
    void notifyFileEvictedSignal(QUrl location);
    void backgroundProcessingChanged(bool backgroundProcessing);
    void patchUndoCountChanged();
    // An editor handed back is free again (saved and closed): a canvas that found none
    // free may ask again.
    void editorFreed();
    // An export that failed: no file is left at `path`; `reason` says why.
    void exportFailed(QString path, QString reason);
    // The outputs of an export list are queued (none when its pictures were all skipped
    // or its folder could not be made).
    void exportListQueued(int outputs);
    // The edits of the picture at `path`, open in an editor or handed back with it, could
    // not be saved; `reason` says why. Its state file is as it was before.
    void editsNotSaved(QString path, QString reason);

public slots:
    void requestMetadata(QUrl location);
    // Exports pictures in the formats of the bits 0 (JPEG) to 3 of `fmts`; each file name
    // is used once. With one picture `fileName` (when not empty) names it. The folder is
    // made and the names are picked on a worker; exportListQueued tells when the outputs are
    // queued.
    void exportImageList(QList<QUrl> locations, int fmts, int sizeVal, int sizeUnit, QUrl folder,
        QString fileName, bool highQuality);
    void requestWriter(QUrl location, int format, QString path, Export::SizeSpec size, int quality);
    void cancelExport();
    void cancelPatch();
    // A full render whose output is dropped and whose state (with its depth) is saved.
    void backgroundProcess(VrxMetadata metadata);
    void cancelLoading();
    void setMetahistory(Metahistory* metahistory);
    void setBackgroundProcessing(bool backgroundProcessing);
    void setLowSpaceMb(int lowSpaceMb);
    void spawnImageCompression(VrxMetadata metadata);

private slots:
    void onUrlFoundInvalidSlot(QUrl location);
    void onFileMetadataIndexed(VrxMetadata metadata);
    void onFileContentsUpdated(QUrl location);
    void shuffleTasks();
    void onFileCompressed(VrxMetadata metadata);
    void forgetClosedFiles();
    void onKeeperUnheard();

private:
    // Compresses the file once its source is made, off this thread.
    void compressWhenSourced(const std::shared_ptr<ImageKeeper>& keeper, const VrxMetadata& metadata);
    // A batch edit of a picture open with the canvas goes to its editor (GUI thread); false
    // when no editor has it open any more.
    bool giveBatchChange(const QUrl& url, int kind, ImageProperties* patch, PatchUndo* undo);
    // Hands one thing a task found to its keeper, the rows and the listeners.
    void deliverResult(IndexResult& result);
    // Stores an indexing result for the file known by `key`, read by a read stamped
    // `readStamp` (see GalleryRows).
    void fileIndexed(const QUrl& key, const VrxMetadata& record, quint64 readStamp);
    // Drops the picture kept for a file whose last read found another file under its name
    // than `before` (the row until then) did, and reads it again for the items showing it.
    void noteReplaced(const QUrl& key, const QMap<int, QVariant>& before);
    // What a valid picture needs next: compression or a background render.
    void decideProcessing(const QUrl& key, const VrxMetadata& record);

    void enqueue(const std::shared_ptr<ImageKeeper>& keeper, bool force, int kinds);
    // The calibration of the camera that took a picture; callable from any thread.
    ImageViewer::Calibration calibrationFor(StreamPart& source) const;

    // Starts opening `url` in an editor just lent.
    void openInEditor(ImageEditor& editor, const QUrl& url);
    // Shows a rating in the lent editor of the picture and its gallery row.
    void showRating(const QUrl& url, int shown);
    // Back from the rating writer, in the order of the clicks: shows the rating written, or
    // what the file holds when the write failed.
    void ratingWritten(const QUrl& url, bool written, int shown);

    QThreadPool* m_ratingWriter;
    int m_ratingWrites = 0;
    int m_ratingLockWaitMs = kRatingLockWaitMs;
    void applyThumbnailBudget();
    // Returns the allocator's free memory to the system on a worker thread (one at a
    // time).
    void returnFreeMemory();
    // Indexing frees as much as it allocates, scattered over the arenas of the pool
    // threads: the free memory goes back every so many results and once results stop
    // coming.
    void noteResultForRelease();

    ThumbnailBudget m_thumbnails;
    qint64 m_memoryBudget = kDefaultMemoryBudget;
    qint64 m_thumbnailLimit = ThumbnailBudget::kDefaultBytes;
    // Files closed during this turn of the event loop.
    QSet<QUrl> m_closing;
    bool m_forgetArmed = false;
    // Closed files an item still showed: they go when their last item lets go, unless
    // they are asked for again before.
    QSet<QUrl> m_lingering;
    // Pictures this service sent to the bin (by file key), until they are opened again: an
    // editor's save that finds one gone is no loss to tell of. GUI thread.
    QSet<QUrl> m_binned;
    static constexpr int kReleaseEveryResults = 512;
    static constexpr int kReleaseIdleMs = 2000;
    int m_resultsSinceRelease = 0;
    QTimer* m_releaseTimer = nullptr;
    struct ReleaseState
    {
        std::atomic<bool> running { false };
        std::atomic<bool> again { false };
    };
    // Shared with the release task, which may outlive this object.
    std::shared_ptr<ReleaseState> m_release = std::make_shared<ReleaseState>();
    FilePerm* m_filePerm;
    // Off until the owner sets it from the user's setting: no background work starts
    // against the user's choice before that.
    bool m_backgroundProcessing = false;
    int m_channelOrder = ChannelOrder::kDefault;
    int m_applyTuning = 0;
    qint64 m_lowSpaceBytes = qint64(1) << 30;
    QString m_reasonForPowerRequest;
    QHash<QUrl, std::shared_ptr<ImageKeeper>> m_keepers;
    GalleryRows m_rows;
    UnreadableWatch m_watch;
    IndexScheduler m_scheduler;
    EditorLending m_lending;
    std::function<void(const QUrl&)> m_sourceProbe;
    QThread* m_compressionThread;
    // Makes the sources of the files to compress: resolving a file's path asks the disk.
    LeavableWorker m_sourcing;
    std::shared_ptr<ReplyTarget> m_replies;
    ExportQueue* m_exportQueue;
    ExportPlanner* m_exportPlanner;
    ProgressModel* m_exportProgress;
    ProgressHandler* m_patchProgressHandler;
    PatchBatch* m_batch;
    QHash<QUrl, VrxMetadata> m_candidates;
    mutable QMutex m_metahistoryMutex;
    QPointer<Metahistory> m_metahistory;
};

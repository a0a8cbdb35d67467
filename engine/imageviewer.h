#pragma once

#include "ciapi/image.h"
#include "ciapi/transform.h"
#include "engine/imagerouter.h"
#include "engine/imagewriter.h"
#include "engine/pictureopen.h"
#include "engine/vrxmetadata.h"

#include <QColor>
#include <QHash>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <utility>

namespace CIAPI {
class RendererBase;
}
class ImageProperties;
class StreamPart;

// One engine renderer for one open picture at a time: the editor canvas and the image
// service render, tune, transform, rate, save and export through it. The engine's three
// listeners become Qt signals; output reaches display items through the router base.
class ImageViewer : public ImageRouter, public ImageWriter
{
    Q_OBJECT

public:
    using Calibration = PictureOpen::Calibration;
    using CalibrationLookup = PictureOpen::CalibrationLookup;
    // How often a picture locked by a writer is tried again.
    static constexpr int kBusyRetryMs = 200;
    // How long an open on the GUI thread waits for a state file's lock before it leaves the
    // open to the retries.
    static constexpr int kOpenLockWaitMs = 40;

    explicit ImageViewer(QObject* parent = nullptr);
    ~ImageViewer() override;

    void kind(int& kind) const override;

    // ImageWriter
    void outputReady() override;
    void fileInvalid(QUrl url) override;
    void depthForDofAvailable() override;
    void depthForEditingAvailable() override;
    void metadataReady() override;
    void createRenderer() override;

    // Opens a picture with its camera's calibration and its state file. True when the
    // picture is open afterwards (with or without its saved state).
    bool loadImageWithState(const QUrl& url, std::shared_ptr<StreamPart> source,
        const Calibration& calibration, int tuningType, int channelOrder);
    // Opens a picture without waiting on this thread: the picture open before is closed at
    // once, and the raw file, its calibration, its state file and their locks are read on
    // a worker, waiting as long as writers hold them. The picture is open (with its state,
    // and its coarsest level asked for) when notifyFileOpenedSignal comes; a file that
    // cannot be read is reported to the listeners as invalid. Until then nothing is open
    // here: no edit, rating or save reaches the picture. An open overtaken by another
    // open, a close or cancelPendingOpen() is dropped when it ends, with all it holds.
    // `unsaved`: edits of the picture that could not be saved when it was last closed
    // (see PictureOpen::setUnsaved); the picture opens with them unsaved when the disk still
    // refuses them.
    void openInBackground(const QUrl& url, std::shared_ptr<StreamPart> source, CalibrationLookup calibration,
        int tuningType, int channelOrder, std::shared_ptr<const UnsavedState> unsaved = {});
    // The same with the source made on the worker too: resolving its path asks the file
    // system, which may hang.
    void openInBackground(const QUrl& url, PictureOpen::SourceMaker makeSource, CalibrationLookup calibration,
        int tuningType, int channelOrder, std::shared_ptr<const UnsavedState> unsaved = {});
    // The picture being opened in the background or waiting for a writer (empty when none).
    QUrl openingUrl() const;
    // Waits until no open runs in the background any more (for shutdown).
    void waitForOpens();
    using OpenProbe = std::function<void(const QUrl&)>;
    // Runs on the worker of each background open started afterwards, once its files are
    // read and before the result is handed back (diagnostics and tests).
    void setOpenProbe(OpenProbe probe) { m_openProbe = std::move(probe); }
    using RefusedSaveKeeper = std::function<void(const UnsavedState&)>;
    // Given the changes of a save started by saveInBackground() that the disk refused (they
    // stay unsaved in the renderer), when its result is taken: kept where a crash does not
    // lose them until a save succeeds.
    void setRefusedSaveKeeper(RefusedSaveKeeper keeper) { m_refusedSaveKeeper = std::move(keeper); }
    void closeImage();
    // Saves with force and closes. When the save fails, the edits it could not write are
    // handed to `unsaved` (if given), to be saved later.
    void saveAndClose(std::shared_ptr<const UnsavedState>* unsaved = nullptr);
    // The picture whose opening waits for a writer to let go of its state file (empty when
    // none, or when it waits for the file itself).
    QUrl pendingStateUrl() const;
    // Drops the open that waits for a writer or runs in the background; nothing is opened
    // when it ends.
    void cancelPendingOpen();
    // Writes the open picture's state when it has unsaved changes. Unless `force`, a state
    // file changed by another writer since it was read is left alone. True when written.
    // When the write fails, `error` (if given) receives the reason and the changes stay
    // unsaved in the renderer. With `lockWaitMs` at 0 or more the state file's lock is waited
    // for that long at most, and edits that could not be saved stay unsaved (and dirty).
    bool serializeCurrentState(bool force, QString* error = nullptr, int lockWaitMs = -1);
    // Whether the last save found the state file's lock taken (and saved nothing).
    bool saveWasBusy() const { return m_saveBusy; }
    // Writes the open picture's unsaved changes without waiting on this thread (unless
    // `force`, not over a state file changed by another writer since it was read):
    // the state is made here and written on a worker, one save at a time. The changes count
    // as saved from here on; should the write fail they are unsaved again once its result
    // is taken. False (nothing started) when nothing is unsaved or a save is under way.
    // saveEnded() comes when the write is over, from the worker. `lockWaitMs` as for
    // serializeCurrentState().
    bool saveInBackground(bool force, int lockWaitMs = -1);
    // Whether a save started by saveInBackground() has not been taken yet.
    bool isSaving() const;
    // Takes the result of the save that ended, on the thread that owns the viewer now:
    // the state file's bookkeeping, the announcement of what changed, or the changes unsaved
    // again. True when it had saved.
    bool takeSaveResult();

    void render(int level, const CIAPI::ROI& region, int renderType);
    // A negative level counts from the coarsest end. Nothing is rendered when no picture
    // is open or the level does not exist.
    void renderLevel(int level, int renderType);
    void renderLowestLevel();

    void setRendererProperty0(double value);
    void setRendererProperty1(float value);
    void setMode(int mode);
    bool setBackgroundColor(const QColor& color);
    void setTransform(const CIAPI::Transform& transform);
    bool syncProperties();
    void setProperty11();
    void resetProperty11();

    std::pair<float, float> depthRange() const;
    float propertyValue0() const;
    float propertyValue14() const;
    float propertyValue16() const;

    ImageProperties* properties() const { return m_properties; }

    // Render defaults for a picture: channel order (see engine/channelorder.h) and tuning type.
    static void applyTuning(CIAPI::RendererBase& renderer, int tuningType, int channelOrder);
    // Lets the engine compute depth without being asked.
    static void setRendererProperty(CIAPI::RendererBase& renderer);

public slots:
    // Output of a picture that was closed or replaced meanwhile is dropped here.
    void onImageOutputSlot(VrxMessage message) override;

signals:
    void setBusyIndicatorSignal(bool busy);
    void updateDepthProgressSignal(int progress);
    void notifyFileUpdatedSignal(QUrl url);
    void notifyFileMetadataSignal(VrxMetadata metadata);
    // The picture is locked by a writer (compression, export): it is not unreadable, and
    // is opened as soon as the writer lets go.
    void notifyFileBusySignal(QUrl url);
    // A picture opened in the background, or one that was busy, is open now (with its
    // state), and its coarsest level asked for.
    void notifyFileOpenedSignal(QUrl url);
    // A save started by saveInBackground() is over (emitted on its worker); its result is
    // there to be taken.
    void saveEnded();
    // The open picture's changes could not be written to its state file (a full or
    // read-only disk, say); `reason` says why. They stay unsaved in the renderer (and with
    // the refused-save keeper, and saveAndClose()'s caller, when it closes). Told once until
    // a save succeeds or another picture is opened, and again by a save that closes the
    // picture.
    // Emitted on the thread that saved.
    void saveFailed(QUrl url, QString reason);
    // A save found the picture gone (moved away or deleted): its changes are dropped with
    // it. Emitted on the thread that saved.
    void pictureGone(QUrl url);

protected:
    void installListeners();
    // The renderer becomes `renderer`, with this viewer's listeners.
    virtual void replaceRenderer(std::shared_ptr<CIAPI::Renderer> renderer);
    // Cancels the renderer's requests and takes its listeners away, waiting for a listener
    // call under way: the engine's threads call this object (virtually too) no more. A
    // derived destructor calls it before it destroys anything of its own.
    void silenceRenderer();
    // A picture opened in the background is open now (its signal follows).
    virtual void openFinished(const QUrl& url);

private:
    void onOutput(const CIAPI::ImagePyramid& pyramid, const CIAPI::ROI& region, int level);
    void onStateChange(CIAPI::StateChange change);
    void onProgress(int progress);
    // Shows what an open made ready: its renderer, input, token and state bookkeeping.
    void takeOpened(PictureOpen& open);
    struct BackgroundOpen;
    // Back on this object's thread from the worker.
    void finishOpen(const std::shared_ptr<BackgroundOpen>& job);
    // Stops the background open, if any; its result is dropped. Under m_openMutex.
    void dropBackgroundOpen();
    void failOpen(const QUrl& url, const QString& reason);
    // Before the first write over a state file that could not be read: its bytes are kept
    // beside it (".unreadable"), so no save silently replaces them. False when they could
    // not be kept.
    bool keepUnreadableState(const QString& statePath, QString* error);
    // The same for a state as it was recorded: `unreadable` is cleared when the file is
    // kept aside or was replaced since.
    static bool keepUnreadable(const QString& statePath, StateStamp& unreadable, QString* error);
    // Waits for the save under way, if any, and takes its result.
    void finishBackgroundSave();
    // What changed, announced after a write: the picture's contents, or its rating only.
    void announceSaved(bool content, bool rating);
    // Tells of a save that failed (see saveFailed()).
    void reportSaveFailure(const QUrl& url, const QString& reason);
    void setLoaded(bool loaded);
    // Opens the picture that was busy once its lock is free (polled on this object's thread).
    void retryBusyOpen();
    struct PendingOpen;
    // Closes what was opened so far and leaves the open to the retries.
    void deferOpen(const PendingOpen& pending);
    // The longest an open here may wait for a state file's lock: bounded on the GUI thread,
    // which polls again from its event loop; a worker waits as long as it takes.
    int openLockWaitMs() const;

    ImageProperties* m_properties = nullptr;
    ProgressListener m_firstProgressListener;
    StateChangeListener m_firstStateChangeListener;

    // A picture whose opening waits for a writer's lock; guarded by m_openMutex.
    struct PendingOpen
    {
        QUrl url;
        std::shared_ptr<StreamPart> source;
        Calibration calibration;
        int tuningType = 0;
        int channelOrder = 0;
        bool forState = false; // waits for the state file's lock, not the file's
    };
    bool m_saveBusy = false;
    // A failed save of the open picture was told; cleared by a save that succeeds.
    bool m_saveFailureTold = false;
    // The open picture's state file as it was when it could not be read (none when it was
    // read, or once it is kept aside).
    StateStamp m_unreadableState;
    PendingOpen m_pendingOpen;
    // The open running in the background (none when null); guarded by m_openMutex.
    std::shared_ptr<BackgroundOpen> m_backgroundOpen;
    QTimer* m_busyRetry;
    // Opens on a slow or hung volume may hold their threads long: a later open of another
    // file gets a thread of its own.
    QThreadPool m_openPool;
    // One save at a time, in the order they were started.
    QThreadPool m_savePool;
    struct BackgroundSave;
    // The save started and not yet taken; guarded by m_saveMutex.
    std::shared_ptr<BackgroundSave> m_backgroundSave;
    mutable QMutex m_saveMutex;
    OpenProbe m_openProbe;
    RefusedSaveKeeper m_refusedSaveKeeper;
    // The open picture's raw file and its fault count when attached; output read after
    // the file was cut short is dropped and the picture reported invalid once. Guarded by
    // m_openMutex.
    std::shared_ptr<StreamPart> m_readSource;
    int m_readFaults = 0;
    bool m_readFailed = false;
};

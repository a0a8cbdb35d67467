#pragma once

#include "engine/fileperm.h"
#include "engine/patchundo.h"
#include "engine/streamsource.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace CIAPI {
class RendererBase;
}
class ImageProperties;
class ProgressHandler;
class StreamEditor;

// Batch edits of the image service: adjustments applied to, reverted on and undone from
// many pictures, one picture at a time on a thread of its own. Each picture's state file
// is read and written under its lock file (as the rating and the editor write it), so
// nothing written meanwhile is lost. What a batch replaced is kept per picture, as plain
// values owned by this object on the GUI thread, for one undo.
class PatchBatch : public QObject
{
    Q_OBJECT
public:
    // Makes a picture's shared source: resolving its path asks the file system.
    using SourceMaker = std::function<std::shared_ptr<StreamSource>()>;
    using SourceFor = std::function<SourceMaker(const QUrl&)>;
    using RendererSetup = std::function<void(CIAPI::RendererBase&)>;
    using Probe = std::function<void(const QUrl&, const char* point)>;
    enum Kind { Apply, Revert, Undo };

    // `sourceFor` gives what makes a picture's shared source (called on the GUI thread; what
    // it gives is called where the picture is worked on).
    PatchBatch(FilePerm* filePerm, ProgressHandler* progress, SourceFor sourceFor, QObject* parent = nullptr);
    // Stops the thread after the picture in hand and waits for it.
    ~PatchBatch() override;

    // Files per step: one hundredth of the list, at least one.
    static int chunkSize(int count) { return qMax(1, count / 100); }

    // How every renderer of the batch is set up (tuning, channel order).
    void setRendererSetup(RendererSetup setup);

    // `properties` is copied here; the caller's object is never touched afterwards. An
    // apply that may not save would change no picture: it is refused (false) and nothing
    // starts, so no picture is counted as done.
    bool apply(const QList<QUrl>& locations, ImageProperties* properties, bool shouldSave);
    void revert(const QList<QUrl>& locations);
    // Undoes what the batches left recorded. Asked while pictures are still being worked on,
    // it runs once they are all done, with their records: it never meets a picture whose
    // change and record are still to come.
    void undo();
    void clearUndo();
    // Drops the steps not run yet; the picture in hand is finished on the batch's thread,
    // without the caller waiting for it, and reported as done. Pictures done keep their
    // changes and their undo records.
    void cancel();
    // Fills `properties` with a picture's values, its state applied. False when the
    // picture could not be read.
    bool loadProperties(const QUrl& location, ImageProperties* properties);

    // Asks the thread to end after the picture in hand (shutdown); wait() waits for it.
    void stop();
    void wait();

    int undoCount() const { return m_undo.size(); }
    // The pictures of the batches since the last one that started with none running that
    // could not be changed (their state file could not be read or written).
    const QList<QUrl>& failedFiles() const { return m_failed; }
    bool hasUndo(const QUrl& location) const { return m_undo.contains(location); }
    QThread* thread() const { return m_thread; }
    // Runs on the batch thread at fixed points of each picture: "file" before it is
    // touched, "read" once its state is read under the lock (diagnostics and tests).
    void setProbe(Probe probe);

    // Where a picture stands with the editor canvas.
    enum class EditorHold { None, Open, Saving };
    // How the batch meets the picture open in the editor, which saves its state with force:
    // `hold` (batch thread, asked under the state file's lock) tells whether the picture is
    // open with the canvas or handed back and not yet saved; `waitUntilSaved` (batch thread)
    // waits for such a save; `applyToOpen` (GUI thread) gives the change to the editor that
    // has the picture open, with the values it replaces in `undo` for an apply; false when
    // no editor has it open any more.
    struct EditorGate
    {
        std::function<EditorHold(const QUrl&)> hold;
        std::function<void(const QUrl&)> waitUntilSaved;
        std::function<bool(const QUrl&, Kind, ImageProperties* patch, PatchUndo* undo)> applyToOpen;
    };
    void setEditorGate(EditorGate gate);

signals:
    // A picture's state file was rewritten: its row and pictures are to be read again.
    void fileChanged(QUrl location);
    void undoCountChanged();

private:
    struct Item
    {
        QUrl url;
        SourceMaker makeSource;
    };
    struct Step
    {
        Kind kind = Apply;
        QList<Item> items;
        int index = 0;
        std::shared_ptr<ImageProperties> properties;
        std::shared_ptr<const QHash<QUrl, PatchUndo>> undo;
        std::shared_ptr<std::atomic<qint64>> done;
        quint64 generation = 0;
        QObject* worker = nullptr;
    };
    struct Outcome
    {
        bool handled = false; // no error
        bool saved = false;
        bool toEditor = false; // open in the editor: the change goes to the editor
        PatchUndo undo;
    };

    void makeThread();
    // Lets a cancelled batch's thread and worker go once its picture in hand is done.
    void retire(QThread* thread);
    // The editor for pictures without or with depth, locked through `lock`, on `source` with
    // the current renderer setup applied.
    StreamEditor& editorFor(
        bool hasDepth, const std::shared_ptr<StreamSource>& source, std::unique_lock<QMutex>& lock);
    void start(Kind kind, const QList<QUrl>& locations, std::shared_ptr<ImageProperties> properties,
        std::shared_ptr<const QHash<QUrl, PatchUndo>> undo);
    void post(Step step);
    void runStep(Step step);
    Outcome work(const Step& step, const Item& item);
    void fileDone(const QUrl& url, Kind kind, const Outcome& outcome, qint64 done, quint64 generation);
    // GUI thread: the change of a picture open in the editor goes to that editor, or, when
    // it was handed back meanwhile, to the state file once its save is done.
    void giveToEditor(Step step, const Item& item);
    // GUI thread: one picture of the current batches is done.
    void itemDone();

    FilePerm* m_filePerm;
    QPointer<ProgressHandler> m_progress;
    SourceFor m_sourceFor;
    QThread* m_thread = nullptr;
    QObject* m_worker = nullptr;
    // Threads of cancelled batches still finishing their picture in hand, with their worker.
    QHash<QThread*, QObject*> m_retiring;
    std::atomic<quint64> m_generation { 0 };
    QHash<QUrl, PatchUndo> m_undo;
    QList<QUrl> m_failed;
    // Pictures of the batches started and not yet done (GUI thread); a cancel drops them.
    qint64 m_outstanding = 0;
    bool m_undoWhenDone = false;

    // Without and with depth; each used under its mutex.
    std::array<std::unique_ptr<StreamEditor>, 2> m_editors;
    std::array<QMutex, 2> m_editorMutex;
    mutable QMutex m_setupMutex;
    RendererSetup m_setup;
    Probe m_probe;
    EditorGate m_gate; // guarded by m_setupMutex

    void probe(const QUrl& url, const char* point);
};

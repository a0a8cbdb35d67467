#pragma once

#include "core/stdarraypool.h"
#include "engine/imageeditor.h"
#include "engine/keptedits.h"

#include <QHash>
#include <QMutex>
#include <QThreadPool>
#include <QUrl>
#include <QWaitCondition>

#include <atomic>

#include <functional>
#include <memory>

class DepthClient;
class ImageClient;

// The image service's two editors, lent one at a time to the canvas. An editor handed
// back has its listeners detached at once; on a recycle thread its pending work is done,
// then it is saved and closed, and only then lent again.
class EditorLending
{
public:
    using EditorStep = std::function<void(ImageEditor&)>;
    static constexpr int kEditorCount = 2;

    // `beforeClose` runs on the recycle thread for an editor handed back, before it is
    // saved and closed.
    explicit EditorLending(EditorStep beforeClose);
    // Hands back what is still lent and waits for the recycling.
    ~EditorLending();

    ImageEditor (&editors())[kEditorCount] { return m_editors; }
    // Lends a free editor with `client` attached, for opening `url`; blocks while both
    // are lent or being recycled, and while an editor handed back with that very picture
    // has not yet saved it (so the picture is read with its newest edits).
    ImageEditor& lend(DepthClient* client, const QUrl& url = QUrl());
    // The same without waiting: null when both editors are lent or being recycled, or an
    // editor handed back with `url` has not yet saved it (a save on a slow volume may take
    // long). The freed notice says when to ask again.
    ImageEditor* tryLend(DepthClient* client, const QUrl& url = QUrl());
    // Runs on the recycle thread each time an editor handed back is free again.
    void setFreedNotice(std::function<void()> notice) { m_freedNotice = std::move(notice); }
    // Lends a free editor for the service's own work (exports, background renders); blocks
    // like lend(). Its recycle step saves only state nobody changed since it was read.
    ImageEditor& borrowForWork();
    // Hands an editor back; anything but one of these editors is ignored.
    void giveBack(ImageEditor* editor, ImageClient* client);
    // Hands back both and waits until they are saved and closed, and until their opens
    // still running in the background have ended.
    void closeAll();
    // The editor lent out last (null before the first).
    ImageEditor* current() { return m_currentEditor < 0 ? nullptr : &m_editors[m_currentEditor]; }
    // The editor lent to a canvas and not yet handed back that shows `url`, or null. Only
    // such an editor may be changed from the GUI thread: one handed back is being saved on
    // its recycle thread. GUI thread.
    ImageEditor* lentWith(const QUrl& url);
    // The editor lent to a canvas for `url` that is still opening it, or null. GUI thread.
    ImageEditor* openingWith(const QUrl& url);
    // Where `url` stands: open with the canvas (from lend() on, before its state is read),
    // handed back and not yet saved, or neither. Any thread.
    enum class Hold { None, Open, Saving };
    Hold hold(const QUrl& url) const;
    // Blocks while an editor handed back with `url` has not yet saved it, so that a write
    // made after this is not overwritten by that save; then saves the edits of `url` that
    // such an editor could not save, if the disk takes them now.
    void waitUntilSaved(const QUrl& url);
    // The editor lent to the canvas with `url`, if any, writes its unsaved changes on its
    // save worker (after the save under way, if one is); exports of the picture wait for
    // that write (waitUntilSavedForExport), the calling thread does not. GUI thread.
    void saveForExport(const QUrl& url);
    // Blocks like waitUntilSaved, and also while a write asked by saveForExport for `url`
    // is not over. Never on the GUI thread.
    void waitUntilSavedForExport(const QUrl& url);
    // Runs after `beforeClose`, before the editor is saved and closed (diagnostics and
    // tests). May be set while an editor is being recycled.
    void setRecycleProbe(EditorStep probe)
    {
        QMutexLocker lock(&m_probeMutex);
        m_recycleProbe = std::move(probe);
    }
    // Runs on the worker of every background open of the editors (diagnostics and tests).
    void setOpenProbe(const ImageViewer::OpenProbe& probe)
    {
        for (ImageEditor& editor : m_editors)
            editor.setOpenProbe(probe);
    }
    // How many callers (opens, ratings) wait now for a picture's save by an editor handed
    // back.
    int waitingForSave() const { return m_waitingForSave.load(); }
    // The edits of `url` that an editor handed back could not save (null when none). They
    // are kept until the picture is opened again, whose open saves them or shows them
    // unsaved (forgetUnsaved() then), and are tried once more by closeAll(). They are also
    // written to the folder of kept edits, so that a crash or a quit before the picture's
    // disk takes them does not lose them; setKeptFolder() picks them up again. Any thread.
    std::shared_ptr<const UnsavedState> unsavedFor(const QUrl& url) const;
    // The picture was opened with its kept edits: they were saved, dropped (overtaken by
    // another writer) or shown unsaved. Their file goes unless they are still unsaved.
    void forgetUnsaved(const QUrl& url);
    // The picture went to the bin: its kept edits go with it, file and all.
    void dropUnsaved(const QUrl& url);
    // An editor saved the picture's state: edits kept in a file for it and shown unsaved
    // by the editor are in the state file now. Any thread.
    void savedByEditor(const QUrl& url);
    // Where kept edits are written (empty: nowhere). The edits kept in the new folder are
    // picked up (those of this run go there too); the ones picked up from the old folder
    // are let go. Any thread.
    void setKeptFolder(const QString& folder);
    QString keptFolder() const;
    // Tries to write the kept edits picked up from the folder (on a worker), so that those
    // whose picture's disk takes them now reach the state file without waiting for the
    // picture to be opened; `written` is told of each picture written (on the worker).
    void savePickedUp(const std::function<void(const QUrl&)>& written);

private:
    void recycleEditor(ImageEditor& editor);
    // Writes the kept unsaved edits of the picture (file key) when they can be written, and
    // forgets them once written or overtaken by another writer's change.
    // True when they were written now.
    bool saveUnsaved(const QUrl& key);
    // Kept edits (of the picture `key`) written or dropped: forgotten with their file,
    // unless newer ones were kept for the picture meanwhile.
    void settleUnsaved(const QUrl& key, const std::shared_ptr<const UnsavedState>& edits);
    // A save of the canvas's that the disk refused: its changes go to a file of their own,
    // on a worker, unless something newer was kept or saved for the picture by then.
    void keepRefusedSave(const UnsavedState& edits);
    enum class KeptChange {
        Store, // the edits kept for the picture
        StoreRefused, // a refused save's, unless the picture was handed back since
        Remove,
        RemoveIfSettled, // unless the state file is still what the edits were made over
    };
    // Changes the file of the edits kept for `key` on the worker, after the changes asked
    // before; a change asked later for the picture makes this one void. m_keptMutex held.
    void queueKept(const QUrl& key, KeptChange change, std::shared_ptr<const UnsavedState> edits = {});
    bool beingSaved(const QUrl& key) const;
    void waitWhileSaving(const QUrl& url, bool exports);
    // A write asked by saveForExport for `key` is over.
    void exportSaveEnded(const QUrl& key);
    ImageEditor& lent(int index, DepthClient* client, const QUrl& url);

    EditorStep m_beforeClose;
    ImageEditor m_editors[kEditorCount];
    int m_currentEditor = -1;
    // Recycle steps run here, not behind the thumbnail tasks of the global pool: handing
    // an editor back must not wait for a screenful of thumbnails.
    QThreadPool m_recyclePool;
    std::unique_ptr<StdArrayPool<ImageEditor, kEditorCount>> m_editorPool;
    EditorStep m_recycleProbe; // guarded by m_probeMutex
    QMutex m_probeMutex;
    std::function<void()> m_freedNotice;
    // Per editor: lent to the canvas (its edits are the newest and saved with force).
    std::atomic<bool> m_forViewing[kEditorCount] = {};
    // Per editor: with the canvas now, from lend() to giveBack() (GUI thread only).
    bool m_withCanvas[kEditorCount] = {};
    // Per editor: the picture it was handed back with, until its recycle step has saved
    // and closed it (empty otherwise); guarded by m_savingMutex.
    QUrl m_saving[kEditorCount];
    // Per editor: the picture it was lent to the canvas for, until handed back; guarded by
    // m_savingMutex.
    QUrl m_shown[kEditorCount];
    // Per picture: the writes asked by saveForExport not over yet; guarded by
    // m_savingMutex.
    QHash<QUrl, int> m_exportSaves;
    // Set when the service closes: the ends of the canvas's saves would come through the
    // event loop the close holds, so exports wait for them no more.
    bool m_closing = false;
    mutable QMutex m_savingMutex;
    QWaitCondition m_saved;
    std::atomic<int> m_waitingForSave { 0 };
    // By picture: edits that could not be saved when it was handed back; guarded by
    // m_savingMutex.
    QHash<QUrl, std::shared_ptr<const UnsavedState>> m_unsaved;
    // Held while kept edits are written.
    QMutex m_unsavedWriteMutex;
    // Where the files of kept edits are; guarded by m_keptMutex, which is taken before
    // m_savingMutex and after m_unsavedWriteMutex, and never held while a file is written.
    KeptEdits m_kept;
    // The kept edits that were picked up from m_kept's folder, as they were read.
    QHash<QUrl, std::shared_ptr<const UnsavedState>> m_pickedUp;
    // By picture: the number of the last write or removal of its file asked for.
    QHash<QUrl, quint64> m_keptTicket;
    // By picture: the edits its file was last asked to hold.
    QHash<QUrl, std::shared_ptr<const UnsavedState>> m_keptLast;
    mutable QMutex m_keptMutex;
    // Changes the files of kept edits, one at a time in the order asked.
    QThreadPool m_keepPool;
};

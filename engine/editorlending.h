#pragma once

#include "core/stdarraypool.h"
#include "engine/imageeditor.h"

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
    // Lends a free editor with `client` attached; blocks while both are lent or being
    // recycled.
    ImageEditor& lend(DepthClient* client);
    // Lends a free editor for the service's own work (exports, background renders); blocks
    // like lend(). Its recycle step saves only state nobody changed since it was read.
    ImageEditor& borrowForWork();
    // Hands an editor back; anything but one of these editors is ignored.
    void giveBack(ImageEditor* editor, ImageClient* client);
    // Hands back both and waits until they are saved and closed.
    void closeAll();
    // Waits while an editor handed back still has `key`'s file open: what it saves on
    // closing is what the next open of that file must read.
    void waitForRecycling(const QUrl& key);
    // The editor lent out last (null before the first).
    ImageEditor* current() { return m_currentEditor < 0 ? nullptr : &m_editors[m_currentEditor]; }
    // Runs after `beforeClose`, before the editor is saved and closed (diagnostics and
    // tests).
    void setRecycleProbe(EditorStep probe) { m_recycleProbe = std::move(probe); }

private:
    void recycleEditor(ImageEditor& editor);
    void noteLent(int index);

    EditorStep m_beforeClose;
    ImageEditor m_editors[kEditorCount];
    int m_currentEditor = -1;
    // Recycle steps run here, not behind the thumbnail tasks of the global pool: handing
    // an editor back must not wait for a screenful of thumbnails.
    QThreadPool m_recyclePool;
    std::unique_ptr<StdArrayPool<ImageEditor, kEditorCount>> m_editorPool;
    EditorStep m_recycleProbe;
    // Per editor: lent to the canvas (its edits are the newest and saved with force).
    std::atomic<bool> m_forViewing[kEditorCount] = {};
    // Per editor: handed back, its recycle step not ended yet.
    QMutex m_recycleMutex;
    QWaitCondition m_recycled;
    bool m_recycling[kEditorCount] = {};
};

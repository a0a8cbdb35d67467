#include "engine/editorlending.h"

#include "core/asynctask.h"
#include "engine/depthclient.h"
#include "engine/iimageservice.h"

EditorLending::EditorLending(EditorStep beforeClose)
    : m_beforeClose(std::move(beforeClose))
{
    m_recyclePool.setMaxThreadCount(2);
    m_editorPool = std::make_unique<StdArrayPool<ImageEditor, kEditorCount>>(
        m_editors, 1, [](ImageEditor& editor) { editor.clearListeners(); },
        [this](ImageEditor& editor) { recycleEditor(editor); },
        [this](
            std::function<void()> step) { (new AsyncTask(std::move(step), true))->start(&m_recyclePool); });
}

EditorLending::~EditorLending()
{
    closeAll();
}

void EditorLending::closeAll()
{
    m_editorPool->release(0);
    m_editorPool->release(1);
    m_recyclePool.waitForDone();
}

ImageEditor& EditorLending::lend(DepthClient* client)
{
    const int index = m_editorPool->acquire(false);
    noteLent(index);
    m_currentEditor = index;
    m_forViewing[index] = true;
    ImageEditor& editor = m_editors[index];
    if (client) {
        editor.addListener(client);
        client->attachEditor(&editor);
    }
    return editor;
}

ImageEditor& EditorLending::borrowForWork()
{
    const int index = m_editorPool->acquire(false);
    noteLent(index);
    m_forViewing[index] = false;
    return m_editors[index];
}

void EditorLending::giveBack(ImageEditor* editor, ImageClient* client)
{
    if (!editor)
        return;
    if (client)
        editor->removeListener(client);
    for (int i = 0; i < kEditorCount; ++i) {
        if (editor == &m_editors[i]) {
            {
                QMutexLocker lock(&m_recycleMutex);
                m_recycling[i] = true;
            }
            m_editorPool->release(i);
        }
    }
}

void EditorLending::noteLent(int index)
{
    // Free again, so its recycling has ended (whatever handed it back).
    QMutexLocker lock(&m_recycleMutex);
    m_recycling[index] = false;
}

void EditorLending::waitForRecycling(const QUrl& key)
{
    QMutexLocker lock(&m_recycleMutex);
    for (;;) {
        bool busy = false;
        for (int i = 0; i < kEditorCount; ++i)
            busy = busy || (m_recycling[i] && IImageService::fileKey(m_editors[i].currentUrl()) == key);
        if (!busy)
            return;
        m_recycled.wait(&m_recycleMutex);
    }
}

void EditorLending::recycleEditor(ImageEditor& editor)
{
    const int index = int(&editor - m_editors);
    struct Done
    {
        EditorLending& lending;
        int index;
        ~Done()
        {
            QMutexLocker lock(&lending.m_recycleMutex);
            lending.m_recycling[index] = false;
            lending.m_recycled.wakeAll();
        }
    } done { *this, index };
    m_beforeClose(editor);
    if (m_recycleProbe)
        m_recycleProbe(editor);
    if (m_forViewing[index]) {
        editor.saveAndClose();
        return;
    }
    // Borrowed for exports or background renders: a state file saved meanwhile by the
    // canvas is newer than what this editor read, and is kept.
    editor.serializeCurrentState(false);
    editor.closeImage();
}

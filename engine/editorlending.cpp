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
        [this](std::function<void()> step) {
            (new AsyncTask(
                 [this, step = std::move(step)] {
                     step();
                     if (m_freedNotice)
                         m_freedNotice();
                 },
                 true))
                ->start(&m_recyclePool);
        });
}

EditorLending::~EditorLending()
{
    closeAll();
}

void EditorLending::closeAll()
{
    for (bool& lent : m_withCanvas)
        lent = false;
    {
        QMutexLocker lock(&m_savingMutex);
        for (QUrl& shown : m_shown)
            shown = QUrl();
    }
    m_editorPool->release(0);
    m_editorPool->release(1);
    m_recyclePool.waitForDone();
    // They may use what the service lends them (the lock registry, the calibration store).
    for (ImageEditor& editor : m_editors)
        editor.waitForOpens();
}

void EditorLending::waitUntilSaved(const QUrl& url)
{
    const QUrl key = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    if (key.isEmpty())
        return;
    QMutexLocker lock(&m_savingMutex);
    const auto saving = [&] {
        for (const QUrl& u : m_saving) {
            if (u == key)
                return true;
        }
        return false;
    };
    if (saving()) {
        ++m_waitingForSave;
        while (saving())
            m_saved.wait(&m_savingMutex);
        --m_waitingForSave;
    }
}

EditorLending::Hold EditorLending::hold(const QUrl& url) const
{
    const QUrl key = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    if (key.isEmpty())
        return Hold::None;
    QMutexLocker lock(&m_savingMutex);
    for (int i = 0; i < kEditorCount; ++i) {
        if (m_shown[i] == key)
            return Hold::Open;
    }
    for (const QUrl& u : m_saving) {
        if (u == key)
            return Hold::Saving;
    }
    return Hold::None;
}

ImageEditor* EditorLending::lentWith(const QUrl& url)
{
    const QUrl key = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    if (key.isEmpty())
        return nullptr;
    for (int i = 0; i < kEditorCount; ++i) {
        if (m_withCanvas[i] && IImageService::fileKey(m_editors[i].currentUrl()) == key)
            return &m_editors[i];
    }
    return nullptr;
}

ImageEditor* EditorLending::openingWith(const QUrl& url)
{
    const QUrl key = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    if (key.isEmpty())
        return nullptr;
    for (int i = 0; i < kEditorCount; ++i) {
        if (m_withCanvas[i] && IImageService::fileKey(m_editors[i].openingUrl()) == key)
            return &m_editors[i];
    }
    return nullptr;
}

bool EditorLending::beingSaved(const QUrl& key) const
{
    QMutexLocker lock(&m_savingMutex);
    for (const QUrl& u : m_saving) {
        if (u == key)
            return true;
    }
    return false;
}

ImageEditor* EditorLending::tryLend(DepthClient* client, const QUrl& url)
{
    const QUrl key = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    if (!key.isEmpty() && beingSaved(key))
        return nullptr;
    const int index = m_editorPool->tryAcquire(false);
    if (index < 0)
        return nullptr;
    return &lent(index, client, url);
}

ImageEditor& EditorLending::lend(DepthClient* client, const QUrl& url)
{
    waitUntilSaved(url);
    return lent(m_editorPool->acquire(false), client, url);
}

ImageEditor& EditorLending::lent(int index, DepthClient* client, const QUrl& url)
{
    m_currentEditor = index;
    m_forViewing[index] = true;
    m_withCanvas[index] = true;
    {
        QMutexLocker lock(&m_savingMutex);
        m_shown[index] = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    }
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
    m_forViewing[index] = false;
    m_withCanvas[index] = false;
    return m_editors[index];
}

void EditorLending::giveBack(ImageEditor* editor, ImageClient* client)
{
    if (!editor)
        return;
    if (client)
        editor->removeListener(client);
    // A picture still waiting for a writer is not opened for nobody.
    editor->cancelPendingOpen();
    for (int i = 0; i < kEditorCount; ++i) {
        if (editor != &m_editors[i])
            continue;
        m_withCanvas[i] = false;
        if (m_editorPool->masks().busy & (1u << i)) {
            // Noted before the recycle step can start, so that an open of the same
            // picture right after this waits for its save.
            const QUrl url = editor->currentUrl();
            QMutexLocker lock(&m_savingMutex);
            m_saving[i] = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
            m_shown[i] = QUrl();
        }
        m_editorPool->release(i);
    }
}

void EditorLending::recycleEditor(ImageEditor& editor)
{
    const int index = int(&editor - m_editors);
    // Whatever happens below, an open of the picture waits no longer than this step.
    struct SavedNotice
    {
        EditorLending& lending;
        int index;
        ~SavedNotice()
        {
            QMutexLocker lock(&lending.m_savingMutex);
            lending.m_saving[index] = QUrl();
            lending.m_saved.wakeAll();
        }
    } notice { *this, index };
    m_beforeClose(editor);
    EditorStep probe;
    {
        QMutexLocker lock(&m_probeMutex);
        probe = m_recycleProbe;
    }
    if (probe)
        probe(editor);
    if (m_forViewing[index]) {
        editor.saveAndClose();
    } else {
        // Borrowed for exports or background renders: a state file saved meanwhile by the
        // canvas is newer than what this editor read, and is kept.
        editor.serializeCurrentState(false);
        editor.closeImage();
    }
}

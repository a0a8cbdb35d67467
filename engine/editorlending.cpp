#include "engine/editorlending.h"

#include "core/asynctask.h"
#include "engine/depthclient.h"
#include "engine/iimageservice.h"
#include "engine/logging.h"

#include <QFileInfo>

namespace {

// Writes edits kept since their picture was closed, unless its state file changed since.
StateFile::Result writeUnsaved(const UnsavedState& edits, QString* error)
{
    return StateFile::saveKept(edits, error, StateFile::kRatingLockWaitMs);
}

} // namespace

EditorLending::EditorLending(EditorStep beforeClose)
    : m_beforeClose(std::move(beforeClose))
{
    m_recyclePool.setMaxThreadCount(2);
    m_keepPool.setMaxThreadCount(1);
    for (ImageEditor& editor : m_editors)
        editor.setRefusedSaveKeeper([this](const UnsavedState& edits) { keepRefusedSave(edits); });
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
    {
        // An export waiting for a save of the canvas's would wait for the event loop that
        // this close holds: it goes on (the queue was aborted, so it writes nothing).
        QMutexLocker lock(&m_savingMutex);
        m_closing = true;
        m_exportSaves.clear();
        m_saved.wakeAll();
    }
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
    m_keepPool.waitForDone();
    // They may use what the service lends them (the lock registry, the calibration store).
    for (ImageEditor& editor : m_editors)
        editor.waitForOpens();
    // The last chance for edits that could not be saved when their picture was left.
    QHash<QUrl, std::shared_ptr<const UnsavedState>> unsaved;
    {
        QMutexLocker lock(&m_savingMutex);
        unsaved.swap(m_unsaved);
    }
    QMutexLocker writing(&m_unsavedWriteMutex);
    for (auto it = unsaved.cbegin(); it != unsaved.cend(); ++it) {
        const UnsavedState& edits = *it.value();
        QString error;
        const StateFile::Result result = writeUnsaved(edits, &error);
        QMutexLocker kept(&m_keptMutex);
        {
            QMutexLocker lock(&m_savingMutex);
            m_pickedUp.remove(it.key());
        }
        if (result == StateFile::Result::Saved) {
            qCInfo(lcEngine) << "saved the edits kept since the picture was closed" << edits.statePath;
        } else if (result == StateFile::Result::ChangedOnDisk || result == StateFile::Result::PictureGone) {
            qCWarning(lcEngine) << "the edits kept since the picture was closed are dropped"
                                << edits.statePath
                                << (result == StateFile::Result::ChangedOnDisk ? "changed since" : "gone");
        } else if (m_kept.contains(it.key())) {
            qCWarning(lcEngine) << "the edits kept since the picture was closed still can't be saved"
                                << edits.statePath << error << "- kept in" << m_kept.pathFor(it.key());
            continue;
        } else {
            qCWarning(lcEngine) << "the edits kept since the picture was closed are lost" << edits.statePath
                                << error;
            continue;
        }
        queueKept(it.key(), KeptChange::Remove);
    }
    m_keepPool.waitForDone();
}

std::shared_ptr<const UnsavedState> EditorLending::unsavedFor(const QUrl& url) const
{
    const QUrl key = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    QMutexLocker lock(&m_savingMutex);
    return m_unsaved.value(key);
}

void EditorLending::forgetUnsaved(const QUrl& url)
{
    const QUrl key = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    QMutexLocker kept(&m_keptMutex);
    std::shared_ptr<const UnsavedState> edits;
    {
        QMutexLocker lock(&m_savingMutex);
        edits = m_unsaved.take(key);
        m_pickedUp.remove(key);
    }
    // Shown unsaved, they are still what the state file was when they were made: their
    // file stays until the editor saves them (savedByEditor()) or keeps them anew.
    if (edits)
        queueKept(key, KeptChange::RemoveIfSettled, std::move(edits));
}

void EditorLending::dropUnsaved(const QUrl& url)
{
    const QUrl key = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    QMutexLocker kept(&m_keptMutex);
    {
        QMutexLocker lock(&m_savingMutex);
        m_unsaved.remove(key);
        m_pickedUp.remove(key);
    }
    queueKept(key, KeptChange::Remove);
}

void EditorLending::savedByEditor(const QUrl& url)
{
    const QUrl key = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    QMutexLocker kept(&m_keptMutex);
    {
        QMutexLocker lock(&m_savingMutex);
        if (m_unsaved.contains(key))
            return; // still to be written before any later write of the picture
    }
    queueKept(key, KeptChange::Remove);
}

void EditorLending::settleUnsaved(const QUrl& key, const std::shared_ptr<const UnsavedState>& edits)
{
    QMutexLocker kept(&m_keptMutex);
    {
        QMutexLocker lock(&m_savingMutex);
        if (m_unsaved.value(key) != edits)
            return;
        m_unsaved.remove(key);
        m_pickedUp.remove(key);
    }
    queueKept(key, KeptChange::Remove);
}

void EditorLending::keepRefusedSave(const UnsavedState& edits)
{
    const QUrl key = IImageService::fileKey(QUrl::fromLocalFile(edits.picture));
    QMutexLocker kept(&m_keptMutex);
    // The canvas tries again every few seconds: the same edits are written once.
    const std::shared_ptr<const UnsavedState> last = m_keptLast.value(key);
    if (last && last->bytes == edits.bytes && last->madeOver == edits.madeOver
        && last->statePath == edits.statePath)
        return;
    queueKept(key, KeptChange::StoreRefused, std::make_shared<const UnsavedState>(edits));
}

void EditorLending::queueKept(const QUrl& key, KeptChange change, std::shared_ptr<const UnsavedState> edits)
{
    const quint64 ticket = ++m_keptTicket[key];
    if (change == KeptChange::Store || change == KeptChange::StoreRefused)
        m_keptLast.insert(key, edits);
    else
        m_keptLast.remove(key);
    // One worker takes the changes in the order they were asked, off the threads that ask
    // (the window's among them): the files are on the application's disk, and a change that
    // depends on the picture's state file looks at the picture's.
    m_keepPool.start([this, key, change, ticket, edits = std::move(edits)] {
        KeptEdits files;
        {
            QMutexLocker kept(&m_keptMutex);
            if (m_keptTicket.value(key) != ticket)
                return; // a later change of the picture's file follows
            if (change == KeptChange::StoreRefused) {
                QMutexLocker lock(&m_savingMutex);
                if (m_unsaved.contains(key))
                    return; // handed back meanwhile: the edits kept then are newer
            }
            files = m_kept;
        }
        switch (change) {
        case KeptChange::Store:
        case KeptChange::StoreRefused:
            files.store(key, *edits);
            break;
        case KeptChange::RemoveIfSettled:
            // Opened with them unsaved: still the only copy. The write of them asked before
            // may not have run (this change replaced it in the queue), so they are written.
            if (StateStamp::of(edits->statePath) == edits->madeOver && QFileInfo::exists(edits->picture))
                files.store(key, *edits);
            else
                files.remove(key);
            break;
        case KeptChange::Remove:
            files.remove(key);
            break;
        }
    });
}

QString EditorLending::keptFolder() const
{
    QMutexLocker kept(&m_keptMutex);
    return m_kept.folder();
}

void EditorLending::setKeptFolder(const QString& folder)
{
    QMutexLocker kept(&m_keptMutex);
    if (folder == m_kept.folder())
        return;
    m_kept.setFolder(folder);
    const QHash<QUrl, std::shared_ptr<const UnsavedState>> found = m_kept.load();
    QHash<QUrl, std::shared_ptr<const UnsavedState>> ofThisRun;
    {
        QMutexLocker lock(&m_savingMutex);
        for (auto it = m_pickedUp.cbegin(); it != m_pickedUp.cend(); ++it) {
            if (m_unsaved.value(it.key()) == it.value())
                m_unsaved.remove(it.key());
        }
        m_pickedUp.clear();
        ofThisRun = m_unsaved;
        for (auto it = found.cbegin(); it != found.cend(); ++it) {
            if (m_unsaved.contains(it.key()))
                continue; // kept in this run, so newer
            m_unsaved.insert(it.key(), it.value());
            m_pickedUp.insert(it.key(), it.value());
        }
    }
    if (!found.isEmpty())
        qCInfo(lcEngine) << "picked up the edits of" << found.size() << "pictures kept in" << folder;
    for (auto it = ofThisRun.cbegin(); it != ofThisRun.cend(); ++it)
        queueKept(it.key(), KeptChange::Store, it.value());
}

void EditorLending::waitUntilSaved(const QUrl& url)
{
    waitWhileSaving(url, false);
}

void EditorLending::waitUntilSavedForExport(const QUrl& url)
{
    waitWhileSaving(url, true);
}

void EditorLending::waitWhileSaving(const QUrl& url, bool exports)
{
    const QUrl key = url.isEmpty() ? QUrl() : IImageService::fileKey(url);
    if (key.isEmpty())
        return;
    QMutexLocker lock(&m_savingMutex);
    const auto saving = [&] {
        if (exports && !m_closing && m_exportSaves.contains(key))
            return true;
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
    lock.unlock();
    // Edits that its editor could not save come before any later write of the picture.
    saveUnsaved(key);
}

bool EditorLending::saveUnsaved(const QUrl& key)
{
    std::shared_ptr<const UnsavedState> edits;
    {
        QMutexLocker lock(&m_savingMutex);
        edits = m_unsaved.value(key);
    }
    if (!edits)
        return false;
    // One writer of kept edits at a time; they may have been settled meanwhile.
    QMutexLocker writing(&m_unsavedWriteMutex);
    {
        QMutexLocker lock(&m_savingMutex);
        if (m_unsaved.value(key) != edits)
            return false;
    }
    QString error;
    const StateFile::Result result = writeUnsaved(*edits, &error);
    if (result == StateFile::Result::Saved)
        qCInfo(lcEngine) << "saved the edits kept since the picture was closed" << edits->statePath;
    else if (result == StateFile::Result::ChangedOnDisk)
        qCWarning(lcEngine) << "the edits kept since the picture was closed are dropped: its state file"
                            << edits->statePath << "was changed since";
    else if (result == StateFile::Result::PictureGone)
        qCInfo(lcEngine) << "the edits kept since the picture was closed went with it" << edits->statePath;
    else
        return false; // kept for the next try
    settleUnsaved(key, edits);
    return result == StateFile::Result::Saved;
}

void EditorLending::savePickedUp(const std::function<void(const QUrl&)>& written)
{
    QList<QUrl> keys;
    {
        QMutexLocker lock(&m_savingMutex);
        keys = m_pickedUp.keys();
    }
    if (keys.isEmpty())
        return;
    // The pictures' disks may be slow or gone: tried off the caller's thread.
    (new AsyncTask(
         [this, keys, written] {
             for (const QUrl& key : keys) {
                 if (saveUnsaved(key) && written)
                     written(key);
             }
         },
         true))
        ->start(&m_recyclePool);
}

void EditorLending::saveForExport(const QUrl& url)
{
    ImageEditor* editor = lentWith(url);
    if (!editor)
        return;
    const QUrl key = IImageService::fileKey(url);
    editor->syncProperties();
    // Told first, so that no end of a save is missed between the look below and the
    // write that follows it.
    auto again = std::make_shared<bool>(false);
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection
        = QObject::connect(editor, &ImageViewer::saveEnded, editor, [this, editor, key, again, connection] {
              // Only while the canvas has it is the editor changed here; handed back, its
              // recycle step saves it and exports wait for that.
              if (lentWith(key) == editor) {
                  editor->takeSaveResult();
                  if (editor->isSaving())
                      return; // a newer save, with these changes too, is under way
                  if (std::exchange(*again, false) && editor->saveInBackground(true))
                      return;
              }
              QObject::disconnect(*connection);
              exportSaveEnded(key);
          });
    // A save over already is taken; one under way may hold older changes than the editor
    // has now: one more follows it.
    editor->takeSaveResult();
    if (editor->isSaving()) {
        *again = true;
    } else if (!editor->saveInBackground(true)) {
        QObject::disconnect(*connection);
        return; // nothing unsaved
    }
    QMutexLocker lock(&m_savingMutex);
    if (!m_closing)
        ++m_exportSaves[key];
}

void EditorLending::exportSaveEnded(const QUrl& key)
{
    QMutexLocker lock(&m_savingMutex);
    auto it = m_exportSaves.find(key);
    if (it != m_exportSaves.end() && --it.value() <= 0)
        m_exportSaves.erase(it);
    m_saved.wakeAll();
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
        const QUrl url = editor.currentUrl();
        std::shared_ptr<const UnsavedState> unsaved;
        editor.saveAndClose(&unsaved);
        if (unsaved) {
            // Kept for the next open of the picture (before the notice below lets it start),
            // and in a file of their own on the application's disk, which a crash or a quit
            // before the picture's disk takes them leaves behind for the next start.
            const QUrl key = IImageService::fileKey(url);
            QMutexLocker kept(&m_keptMutex);
            queueKept(key, KeptChange::Store, unsaved);
            QMutexLocker lock(&m_savingMutex);
            m_unsaved.insert(key, unsaved);
            m_pickedUp.remove(key);
        }
    } else {
        // Borrowed for exports or background renders: a state file saved meanwhile by the
        // canvas is newer than what this editor read, and is kept.
        editor.serializeCurrentState(false);
        editor.closeImage();
    }
}

#include "engine/patchbatch.h"
#include "engine/logging.h"

#include "ciapi/rendererbase.h"
#include "ciapi/statefileeditor.h"
#include "core/progresshandler.h"
#include "engine/enginestreams.h"
#include "engine/exceptiontext.h"
#include "engine/imageproperties.h"
#include "engine/statefile.h"
#include "engine/streameditor.h"

#include <QDebug>
#include <QFileInfo>
#include <QLockFile>

#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

// How a picture is rendered, told by its state file.
struct RenderPath
{
    bool hasDepth = false;
    bool hasState = false;
    bool appendOnly = false;
};

RenderPath renderPathFor(const QUrl& url, bool appendOnly)
{
    RenderPath path;
    path.appendOnly = appendOnly;
    const QString statePath = StateFile::pathFor(url);
    const QString name = QFileInfo(url.toLocalFile()).fileName();
    try {
        if (QFileInfo::exists(statePath)) {
            const auto stream = openFileStream(statePath);
            const CIAPI::StateFileEditor editor(*stream);
            path.hasDepth = editor.depthType() != 0;
            path.hasState = true;
        }
    } catch (...) {
        qCDebug(lcEngine) << "No user edits for" << url << exceptionText(std::current_exception());
        path = RenderPath();
        path.appendOnly = appendOnly;
    }
    if (path.hasDepth)
        qCDebug(lcEngine) << name << "Has depth and edits, needs nontrivial render";
    else if (path.hasState)
        qCDebug(lcEngine) << name << "Has edits w/o depth, needs trivial render";
    else
        qCDebug(lcEngine) << name << "Trivial state or no state, will render basic";
    return path;
}

} // namespace

PatchBatch::PatchBatch(FilePerm* filePerm, ProgressHandler* progress, SourceFor sourceFor, QObject* parent)
    : QObject(parent)
    , m_filePerm(filePerm)
    , m_progress(progress)
    , m_sourceFor(std::move(sourceFor))
{
    m_editors[0] = std::make_unique<StreamEditor>(false);
    m_editors[1] = std::make_unique<StreamEditor>(true);
    makeThread();
}

PatchBatch::~PatchBatch()
{
    stop();
    wait();
    delete m_worker;
    for (auto it = m_retiring.cbegin(); it != m_retiring.cend(); ++it) {
        delete it.value();
        delete it.key();
    }
    m_retiring.clear();
}

void PatchBatch::makeThread()
{
    m_thread = new QThread(this);
    m_worker = new QObject;
    m_worker->moveToThread(m_thread);
    m_thread->start(QThread::InheritPriority);
}

void PatchBatch::retire(QThread* thread)
{
    const auto it = m_retiring.find(thread);
    if (it == m_retiring.end())
        return;
    thread->wait();
    delete it.value(); // with the steps not run
    delete thread;
    m_retiring.erase(it);
}

void PatchBatch::stop()
{
    m_thread->requestInterruption();
    m_thread->quit();
}

void PatchBatch::wait()
{
    m_thread->wait();
    // A cancelled batch's picture in hand is finished before a shutdown goes on.
    for (auto it = m_retiring.cbegin(); it != m_retiring.cend(); ++it)
        it.key()->wait();
}

StreamEditor& PatchBatch::editorFor(
    bool hasDepth, const std::shared_ptr<StreamSource>& source, std::unique_lock<QMutex>& lock)
{
    const int which = hasDepth ? 1 : 0;
    lock = std::unique_lock<QMutex>(m_editorMutex[which]);
    StreamEditor& editor = *m_editors[which];
    RendererSetup setup;
    {
        QMutexLocker setupLock(&m_setupMutex);
        setup = m_setup;
    }
    editor.setSource(source);
    if (setup)
        setup(editor.renderer());
    return editor;
}

void PatchBatch::setRendererSetup(RendererSetup setup)
{
    QMutexLocker lock(&m_setupMutex);
    m_setup = std::move(setup);
}

void PatchBatch::setProbe(Probe probe)
{
    QMutexLocker lock(&m_setupMutex);
    m_probe = std::move(probe);
}

void PatchBatch::setEditorGate(EditorGate gate)
{
    QMutexLocker lock(&m_setupMutex);
    m_gate = std::move(gate);
}

void PatchBatch::probe(const QUrl& url, const char* point)
{
    Probe probe;
    {
        QMutexLocker lock(&m_setupMutex);
        probe = m_probe;
    }
    if (probe)
        probe(url, point);
}

bool PatchBatch::apply(const QList<QUrl>& locations, ImageProperties* properties, bool shouldSave)
{
    if (!properties)
        return false;
    if (!shouldSave) {
        qCWarning(lcEngine) << "An apply that may not save changes nothing; not applied to"
                            << locations.size() << "pictures";
        return false;
    }
    // The batch works on its own copy: the caller's object may change or go meanwhile.
    auto patch = std::make_shared<ImageProperties>();
    patch->copyFrom(*properties);
    patch->markCustomPatch(ImageProperties::RotationAndMirror, properties->rotationAndMirrorPatched());
    patch->markCustomPatch(ImageProperties::Crop, properties->cropPatched());
    // The turn and crop as they are and the orientation they are taken against: a preset's
    // selection keeps the geometry of a picture not shot upright as its original only, and
    // no orientation at all.
    patch->setTransform(properties->transformProperties(), false);
    patch->transform().setOrientation(properties->transform().orientation());
    patch->moveToThread(m_thread);
    start(Apply, locations, std::move(patch), nullptr);
    return !locations.isEmpty();
}

void PatchBatch::revert(const QList<QUrl>& locations)
{
    qCDebug(lcEngine) << "revertToOriginal requested:" << locations.size();
    start(Revert, locations, nullptr, nullptr);
}

void PatchBatch::undo()
{
    if (m_outstanding > 0) {
        // The records of the pictures still in work are not here yet, and the records here
        // may be replaced: taken now, the undo would put back what a picture had before an
        // earlier batch and drop the record of the one still running.
        qCDebug(lcEngine) << "undo waits for" << m_outstanding << "pictures of the running batch";
        m_undoWhenDone = true;
        return;
    }
    m_undoWhenDone = false;
    // The records stay here until each picture is undone, so a cancelled undo leaves the
    // pictures not reached undoable.
    start(Undo, m_undo.keys(), nullptr, std::make_shared<const QHash<QUrl, PatchUndo>>(m_undo));
}

void PatchBatch::clearUndo()
{
    m_undoWhenDone = false;
    m_undo.clear();
    emit undoCountChanged();
}

void PatchBatch::itemDone()
{
    if (m_outstanding > 0)
        --m_outstanding;
    if (m_outstanding == 0 && m_undoWhenDone)
        undo();
}

void PatchBatch::start(Kind kind, const QList<QUrl>& locations, std::shared_ptr<ImageProperties> properties,
    std::shared_ptr<const QHash<QUrl, PatchUndo>> undo)
{
    if (locations.isEmpty())
        return;
    if (!m_progress || !m_progress->isInProgress())
        m_failed.clear();
    if (m_progress)
        m_progress->start(locations.size());
    m_outstanding += locations.size();
    const int chunk = chunkSize(locations.size());
    auto done = std::make_shared<std::atomic<qint64>>(0);
    for (int first = 0; first < locations.size(); first += chunk) {
        Step step;
        step.kind = kind;
        step.index = first;
        step.properties = properties;
        step.undo = undo;
        step.done = done;
        step.generation = m_generation;
        step.worker = m_worker;
        for (int i = first; i < qMin(first + chunk, locations.size()); ++i)
            step.items.append({ locations.at(i), m_sourceFor(locations.at(i)) });
        if (kind == Revert)
            qCDebug(lcEngine) << "revertToOriginal iterating i:" << first;
        post(std::move(step));
    }
}

void PatchBatch::post(Step step)
{
    QObject* worker = step.worker;
    // Dropped unrun when the thread is cancelled: the worker goes with its thread.
    QMetaObject::invokeMethod(
        worker, [this, step = std::move(step)]() mutable { runStep(std::move(step)); }, Qt::QueuedConnection);
}

void PatchBatch::runStep(Step step)
{
    QThread* thread = QThread::currentThread();
    if (thread->isInterruptionRequested()) {
        thread->quit();
        return;
    }
    const Item item = step.items.takeFirst();
    probe(item.url, "file");
    const Outcome outcome = work(step, item);
    if (outcome.toEditor) {
        Step one = step;
        one.items = { item };
        QMetaObject::invokeMethod(
            this, [this, one = std::move(one), item]() mutable { giveToEditor(std::move(one), item); },
            Qt::QueuedConnection);
        if (step.items.isEmpty())
            return;
        ++step.index;
        post(std::move(step));
        return;
    }
    const qint64 done = ++*step.done;
    const Kind kind = step.kind;
    const quint64 generation = step.generation;
    QMetaObject::invokeMethod(
        this,
        [this, url = item.url, kind, outcome, done, generation] {
            fileDone(url, kind, outcome, done, generation);
        },
        Qt::QueuedConnection);
    if (step.items.isEmpty())
        return;
    ++step.index;
    if (step.kind == Revert)
        qCDebug(lcEngine) << "pushRevertRequests revertToOriginal requests size/index:" << step.items.size()
                          << step.index;
    post(std::move(step));
}

PatchBatch::Outcome PatchBatch::work(const Step& step, const Item& item)
{
    Outcome outcome;
    const QUrl& url = item.url;
    const bool appendOnly = step.kind == Revert;
    try {
        // Made here, on the batch's thread, not on the window's.
        const std::shared_ptr<StreamSource> source = item.makeSource ? item.makeSource() : nullptr;
        if (!source)
            throw std::runtime_error("No source");
        // Writers of the raw file (compression, moves) keep away while it is read. A stop
        // asked while a writer holds the file ends the wait.
        const FileToken token = m_filePerm->acquireUnlessStopped(
            url, FilePerm::kShared, [] { return QThread::currentThread()->isInterruptionRequested(); });
        if (!token)
            throw std::runtime_error("Stopped while the file was busy");
        const QString statePath = StateFile::pathFor(url);
        EditorGate gate;
        {
            QMutexLocker lock(&m_setupMutex);
            gate = m_gate;
        }
        // The same lock as the rating and the editor take: nothing appended between the
        // read and the write below is lost. The editor saves with force: a picture handed
        // back is written after its save; one open with the canvas gets the change in the
        // editor, which the canvas then saves with the editor's own edits.
        std::unique_ptr<QLockFile> stateLock;
        for (;;) {
            if (gate.waitUntilSaved)
                gate.waitUntilSaved(url);
            stateLock = std::make_unique<QLockFile>(StateFile::lockPath(statePath));
            if (!stateLock->lock())
                throw std::runtime_error("Can't lock the state file");
            const EditorHold hold = gate.hold ? gate.hold(url) : EditorHold::None;
            if (hold == EditorHold::Open) {
                outcome.toEditor = true;
                outcome.handled = true;
                return outcome;
            }
            if (hold == EditorHold::None)
                break;
            stateLock.reset(); // handed back again meanwhile: its save needs the lock
        }
        const RenderPath path = renderPathFor(url, appendOnly);
        std::unique_lock<QMutex> editorLock;
        StreamEditor& editor = editorFor(path.hasDepth, source, editorLock);

        ImageProperties undo;
        const QFileInfo stateInfo(statePath);
        if (stateInfo.exists())
            editor.deserialize(stateInfo, appendOnly);
        probe(url, "read");

        // The second half: change the renderer and tell whether to save.
        bool save = false;
        switch (step.kind) {
        case Apply:
            save = step.properties->applyPatchToRenderer(editor.renderer(), &undo);
            outcome.undo = PatchUndo::from(undo);
            break;
        case Revert:
            save = true;
            break;
        case Undo: {
            ImageProperties patch;
            step.undo->value(url).fill(patch);
            save = editor.applyPatch(patch, nullptr);
            break;
        }
        }
        if (save) {
            // Rendered first, so the state written carries the new thumbnail.
            editor.setOutputUpdateListener([](const CIAPI::ImagePyramid&, const CIAPI::ROI&, int) {});
            editor.render();
            editor.serialize(stateInfo, path.hasDepth != path.hasState, appendOnly);
            outcome.saved = true;
        }
        editor.setOutputUpdateListener([](const CIAPI::ImagePyramid&, const CIAPI::ROI&, int) {});
        editor.releaseInput();
        outcome.handled = true;
    } catch (const std::exception& e) {
        qCDebug(lcEngine) << "Batch op" << url << (*e.what() ? e.what() : "Unknown exception");
    } catch (...) {
        qCDebug(lcEngine) << "Batch op" << url << "Unknown exception";
    }
    return outcome;
}

void PatchBatch::fileDone(const QUrl& url, Kind kind, const Outcome& outcome, qint64 done, quint64 generation)
{
    // Known before the progress ends, so whoever is told of the end can say what failed.
    if (!outcome.handled && generation == m_generation)
        m_failed.append(url);
    if (outcome.handled) {
        if (kind == Apply && outcome.saved)
            m_undo.insert(url, outcome.undo);
        else if (kind == Undo)
            m_undo.remove(url);
        if ((kind == Apply && outcome.saved) || kind == Undo)
            emit undoCountChanged();
    }
    if (outcome.saved)
        emit fileChanged(url);
    // A cancelled batch's progress is over; late reports of its last picture don't reopen it.
    if (generation == m_generation && m_progress)
        m_progress->setProgress(done);
    if (generation == m_generation)
        itemDone();
}

void PatchBatch::giveToEditor(Step step, const Item& item)
{
    EditorGate gate;
    {
        QMutexLocker lock(&m_setupMutex);
        gate = m_gate;
    }
    if (step.generation != m_generation)
        return; // cancelled before it reached the editor
    Outcome outcome; // only its undo record is used here
    bool given = false;
    if (gate.applyToOpen) {
        switch (step.kind) {
        case Apply:
            given = gate.applyToOpen(item.url, Apply, step.properties.get(), &outcome.undo);
            break;
        case Revert:
            given = gate.applyToOpen(item.url, Revert, nullptr, nullptr);
            break;
        case Undo: {
            ImageProperties patch;
            step.undo->value(item.url).fill(patch);
            given = gate.applyToOpen(item.url, Undo, &patch, nullptr);
            break;
        }
        }
    }
    if (!given) {
        // Handed back meanwhile: the state file gets it once the editor's save is done.
        post(std::move(step));
        return;
    }
    // As for a picture written here, but the editor announces its own save: no re-read of
    // the file is due.
    const bool changed = step.kind != Apply || !outcome.undo.isEmpty();
    const qint64 done = ++*step.done;
    if (step.kind == Apply && changed)
        m_undo.insert(item.url, outcome.undo);
    else if (step.kind == Undo)
        m_undo.remove(item.url);
    if ((step.kind == Apply && changed) || step.kind == Undo)
        emit undoCountChanged();
    if (m_progress)
        m_progress->setProgress(done);
    itemDone();
}

void PatchBatch::cancel()
{
    // The picture in hand may take a whole render and save: the window asking for the stop
    // does not wait for it. Its report comes as any other, from an older generation, and
    // its thread goes with the steps not run once it is done.
    QThread* thread = m_thread;
    m_retiring.insert(thread, m_worker);
    connect(
        thread, &QThread::finished, this, [this, thread] { retire(thread); }, Qt::QueuedConnection);
    thread->requestInterruption();
    thread->quit();
    ++m_generation;
    // Nothing of the cancelled batches is waited for; an undo asked meanwhile is dropped
    // with them (the pictures done keep their records for the next one).
    m_outstanding = 0;
    m_undoWhenDone = false;
    if (m_progress)
        m_progress->setMaximumProgress(0);
    makeThread();
}

bool PatchBatch::loadProperties(const QUrl& location, ImageProperties* properties)
{
    if (!properties)
        return false;
    try {
        const SourceMaker makeSource = m_sourceFor(location);
        const std::shared_ptr<StreamSource> source = makeSource ? makeSource() : nullptr;
        if (!source)
            throw std::runtime_error("No source");
        const FileToken token = m_filePerm->acquireFileSemaphore(location, FilePerm::kShared);
        if (!token)
            throw std::runtime_error("The file is busy");
        const QString statePath = StateFile::pathFor(location);
        QLockFile stateLock(StateFile::lockPath(statePath));
        // This runs on the GUI thread: a lock held elsewhere must not freeze the window.
        if (!stateLock.tryLock(StateFile::kRatingLockWaitMs))
            throw std::runtime_error("State file is locked");
        const RenderPath path = renderPathFor(location, false);
        std::unique_lock<QMutex> editorLock;
        StreamEditor& editor = editorFor(path.hasDepth, source, editorLock);
        const QFileInfo stateInfo(statePath);
        if (stateInfo.exists())
            editor.deserialize(stateInfo, false);
        editor.loadProperties(*properties, true);
        editor.releaseInput();
        return true;
    } catch (...) {
        qCDebug(lcEngine) << "Can't load properties of" << location
                          << exceptionText(std::current_exception());
        return false;
    }
}

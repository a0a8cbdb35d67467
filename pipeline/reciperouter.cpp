#include "pipeline/reciperouter.h"
#include "pipeline/logging.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMetaEnum>

#include "pipeline/interfaces/findvolumeforpath.h"
#include "pipeline/pipelinemodel.h"
#include "pipeline/ticketsrecord.h"

namespace {

// How long the router's end waits for a probe under way.
constexpr int kProbeLeaveMs = 1000;

QString errorName(int error)
{
    const char* key = QMetaEnum::fromType<IFileSink::Error>().valueToKey(error);
    return key ? QString::fromLatin1(key) : QString::number(error);
}

// Folder components of a target path, the leading "" of an absolute path kept.
QStringList folderComponents(const QString& path)
{
    QStringList parts = path.split(QLatin1Char('/'));
    parts.removeLast();
    return parts;
}

} // namespace

RecipeRouter::RecipeRouter(QObject* parent)
    : IPipeline(parent)
    , m_progress(new ProgressModel(this))
    , m_model(new PipelineModel(this, this))
    , m_tickets(new TicketsRecord(this))
    , m_stop(std::make_shared<std::atomic<bool>>(false))
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    // The copy workers report through queued signals.
    qRegisterMetaType<Recipe>("Recipe");
    qRegisterMetaType<Volume>("Volume");
    qRegisterMetaType<IFileSink::Error>("IFileSink::Error");
}

RecipeRouter::~RecipeRouter()
{
    // A probe held by a file system that hangs is left to end on its own; it tells no one.
    m_replies->close();
    m_probes.leave(kProbeLeaveMs);
    stopCopyThreads();
}

int RecipeRouter::activityCount() const
{
    int count = 0;
    for (auto it = m_sequences.cbegin(); it != m_sequences.cend(); ++it) {
        if (!it.key().isNull() && it->active && !it->finished())
            ++count;
    }
    return count;
}

int RecipeRouter::inFlightCount() const
{
    int count = 0;
    for (const ChannelEntry& entry : m_channels)
        count += entry.outstanding.size();
    for (const VolumeEntry& entry : m_volumes)
        count += entry.outstanding.size();
    return count;
}

void RecipeRouter::setFilePerm(FilePerm* perm)
{
    if (m_filePerm == perm)
        return;
    m_filePerm = perm;
    emit filePermChanged();
}

void RecipeRouter::setBailiff(IBailiff* bailiff)
{
    if (m_bailiff == bailiff)
        return;
    m_bailiff = bailiff;
    emit bailiffChanged();
}

void RecipeRouter::setMounted(const QList<QStorageInfo>& mounted)
{
    m_mounted = mounted;
    const bool first = !std::exchange(m_mountedKnown, true);
    emit mountedChanged();
    // The pass waited for the volumes to place its targets on.
    if (first)
        touch();
}

void RecipeRouter::setFront(IFileSink* sink)
{
    front = sink ? sink : this;
}

void RecipeRouter::setRoute(QString key, IProvider* provider)
{
    m_providers.insert(key, provider);
}

void RecipeRouter::setDate(QUuid session, QDateTime date)
{
    auto it = m_sequences.find(session);
    if (it == m_sequences.end())
        return;
    it->created = date;
    refreshRow(session, { PipelineModel::DateTime });
}

TransferSequence& RecipeRouter::sequence(const QUuid& session, bool* created)
{
    auto it = m_sequences.find(session);
    if (created)
        *created = it == m_sequences.end();
    if (it == m_sequences.end())
        it = m_sequences.insert(session, TransferSequence());
    return it.value();
}

TransferSequence& RecipeRouter::addSequence(const QUuid& session, bool* created)
{
    bool made = false;
    TransferSequence& seq = sequence(session, &made);
    if (made && !session.isNull() && !m_sessions.contains(session))
        m_model->insertSession([this, session] { m_sessions.insert(1, session); });
    if (made)
        emit activityCountChanged();
    if (created)
        *created = made;
    return seq;
}

const TransferSequence* RecipeRouter::findSequence(const QUuid& session) const
{
    auto it = m_sequences.constFind(session);
    return it == m_sequences.cend() ? nullptr : &it.value();
}

IProvider* RecipeRouter::provider(const QString& key) const
{
    return m_providers.value(key);
}

ProgressModel* RecipeRouter::volumeProgress(const QString& rootPath)
{
    ProgressModel*& model = m_volumeProgress[rootPath];
    if (!model)
        model = new ProgressModel(this);
    return model;
}

void RecipeRouter::setTargetProgress(const QString& path, const TransferRequest& request, ProgressRatio ratio)
{
    const QVariant key(path);
    volumeProgress(request.volume.rootPath)->setPartialProgress(ratio, key);
    footprint(request.session)->setPartialProgress(ratio, key);
    if (!request.session.isNull())
        m_progress->setPartialProgress(ratio, key);
}

void RecipeRouter::refreshRow(const QUuid& session, const QVector<int>& roles)
{
    m_model->refresh(m_sessions.indexOf(session), roles);
}

void RecipeRouter::refreshAll()
{
    m_model->refreshAll();
}

void RecipeRouter::emitCounts()
{
    emit inFlightCountChanged();
    emit activityCountChanged();
}

void RecipeRouter::checkCompletion(const QUuid& session, bool wasFinished)
{
    const TransferSequence* seq = findSequence(session);
    if (!m_started || wasFinished || !seq || !seq->finished() || session.isNull())
        return;
    qCDebug(lcPipeline) << "Check completion" << session;
    front->setDate(session, QDateTime::currentDateTime());
    emit sessionCompleted(session, seq->path);
}

bool RecipeRouter::putRecipe(QUuid session, QUrl url, Recipe recipe, Arbiter arbiter)
{
    const QString path = url.toLocalFile();
    IProvider* source = provider(recipe.provider);
    if (!source) {
        // A stored row of a source that no longer exists must not stop the program.
        qCWarning(lcPipeline) << "putRecipe: no provider" << recipe.provider << "for" << path << "- skipped";
        return false;
    }
    if (path.isEmpty())
        return false;
    bool underWay = false;
    auto existing = m_requests.find(path);
    if (existing != m_requests.end()) {
        if (existing->recipe != recipe || existing->session != session)
            return false;
        const TransferSequence* seq = findSequence(session);
        underWay = seq && seq->all.count(path) && !seq->pending.count(path) && !seq->done.count(path);
    }
    TransferRequest& request = m_requests[path];
    request.session = session;
    request.recipe = recipe;
    request.arbiter = arbiter;
    request.live = true;
    request.done = false;
    request.err = 0;
    if (!underWay)
        request.placing = false;
    const QStorageInfo storage = findVolumeForPath(m_mounted, QFileInfo(path).absolutePath());
    if (storage.isValid())
        request.volume = Volume(storage);
    setTargetProgress(path, request, ProgressRatio(0, recipe.fileSize));

    TransferSequence& seq = addSequence(session);
    setWaiting(seq, request, false);
    seq.all.insert(path);
    if (!underWay) {
        seq.done.erase(path);
        seq.pending.insert(path);
    }
    if (source->isRaw(recipe))
        seq.raw.insert(path);
    const QStringList components = folderComponents(path);
    if (seq.path.isEmpty()) {
        seq.path = components;
    } else {
        int common = 0;
        while (common < seq.path.size() && common < components.size()
            && seq.path.at(common) == components.at(common))
            ++common;
        seq.path = seq.path.mid(0, common);
    }
    const IOChannel channel(recipe);
    if (!seq.channels.contains(channel)) {
        seq.channels.insert(channel);
        seq.channelOrder.append(channel);
    }
    if (request.volume.isResolved())
        seq.volumes.insert(request.volume);

    if (!recipe.imageUuid.isNull()) {
        Constellation& image = harvest(recipe);
        RemovablePart& part = image.parts[recipe];
        part.requested.insert(session);
        if (seq.free)
            part.freeing.insert(session);
        if (!part.urls.contains(url))
            part.urls.append(url);
        if (image.index.isValid())
            source->imageChanged(image.key(), recipe.imageUuid, image.index, &image);
    }

    // Counts shown before start must not go stale (a new row was also inserted before
    // its first file was filled in).
    refreshRow(session);
    touch();
    return true;
}

void RecipeRouter::onComplete(QUrl target, Recipe recipe)
{
    const QString path = target.toLocalFile();
    auto it = m_requests.find(path);
    if (it == m_requests.end()) {
        qCWarning(lcPipeline) << "onComplete: request not found" << path;
        return;
    }
    // A source that learnt the file's picture after it queued the file (a camera's local
    // file, named by its preview) completes it with the picture's UUID: the request takes
    // it, so that imports naming the picture find this file and its harvest is kept.
    if (it->recipe.imageUuid.isNull() && !recipe.imageUuid.isNull()) {
        Recipe named = it->recipe;
        named.imageUuid = recipe.imageUuid;
        if (named == recipe)
            it->recipe = named;
    }
    it->err = 0;
    it->live = false;
    it->done = true;
    const TransferRequest request = *it;
    const ProgressRatio full(request.recipe.fileSize, request.recipe.fileSize);
    if (m_started)
        front->onProgress(target, request.recipe, full);
    else
        onProgress(target, request.recipe, full);

    TransferSequence& seq = sequence(request.session);
    setWaiting(seq, *it, false);
    const bool wasFinished = seq.finished();
    seq.pending.erase(path);
    seq.done.insert(path);
    if (seq.raw.count(path))
        seq.toVerify.insert(path);
    m_channels[IOChannel(request.recipe)].outstanding.remove(path);
    // Its size and time (a local source for later files) are read on the worker, before
    // the next pass.
    Completion& check = m_completions[path];
    check.session = request.session;
    check.recipe = request.recipe;
    if (m_started)
        refreshRow(request.session);
    if (IProvider* source = provider(request.recipe.provider))
        harvestCompleted(path, request, source);
    m_requests.remove(path);
    emitCounts();
    checkCompletion(request.session, wasFinished);
    touch();
}

void RecipeRouter::onObstacle(QUrl target, Recipe recipe, IFileSink::Error error)
{
    const QString path = target.toLocalFile();
    qCDebug(lcPipeline) << "putObstacle" << target << recipe.recipe.toJson(QJsonDocument::Compact)
                        << errorName(error);
    auto it = m_requests.find(path);
    if (it == m_requests.end()) {
        qCWarning(lcPipeline) << "onObstacle: request not found" << path;
        return;
    }
    TransferRequest& request = *it;
    int code = error;
    if (code & DirLost) {
        // What the pass found, else the list of mounted volumes: nothing is asked here.
        const QString folder = QFileInfo(path).absolutePath();
        const QStorageInfo now
            = m_pass.knowsFolder(folder) ? m_pass.storageOf(folder) : findVolumeForPath(m_mounted, folder);
        if ((m_volumes.value(request.volume).mask & NoDrive) || !now.isValid()
            || Volume(now) != request.volume)
            code = (code & ~DirLost) | NoDrive;
    }
    request.err |= code;
    const bool final = code & FinalMask;
    if (final)
        request.done = true;
    TransferSequence& seq = sequence(request.session);
    setWaiting(seq, request, false);
    const bool wasFinished = seq.finished();
    if (final) {
        seq.pending.erase(path);
        seq.done.insert(path);
    } else {
        seq.done.erase(path);
        seq.pending.insert(path);
    }
    m_channels[IOChannel(request.recipe)].outstanding.remove(path);

    seq.err |= code & (Present | CantDel | Content | NoSpace | NoDrive | DirLost | NoWrite | SrcLost);
    if (code & (Present | CantDel | Content | SrcLost))
        request.live = false;
    if (code & (NoSpace | NoDrive))
        m_volumes[request.volume].mask |= code & (NoSpace | NoDrive);
    const QUuid session = request.session;
    const Recipe stored = request.recipe;
    const Volume volume = request.volume;
    if (code & SrcLost)
        front->onReleased(stored, SrcLost);
    if (code & (IOPause | IOError)) {
        m_channels[IOChannel(stored)].mask |= code & (IOPause | IOError);
        refreshAll();
    }

    if (final && session.isNull()) {
        recall(target);
    } else {
        m_tickets->file(TrafficTicket(code, target, stored, session, volume), code & (IOPause | IOError));
        refreshRow(session);
    }
    checkCompletion(session, wasFinished);
    emitCounts();
    touch();
}

void RecipeRouter::onChanLost(QString providerKey, QString ioChannel, IFileSink::Error error)
{
    const IOChannel channel(providerKey, ioChannel);
    ChannelEntry& entry = m_channels[channel];
    const QSet<QString> underWay = entry.outstanding;
    // The obstacles below mark the channel again; with nothing under way it keeps its mark.
    if (!underWay.isEmpty())
        entry.mask = 0;
    for (const QString& path : underWay) {
        auto it = m_requests.constFind(path);
        if (it == m_requests.cend()) {
            qCWarning(lcPipeline) << "onChanLost: request not found" << path;
            continue;
        }
        front->onObstacle(QUrl::fromLocalFile(path), it->recipe, error);
    }
    refreshAll();
    touch();
}

void RecipeRouter::onRecovery(QString providerKey, QString ioChannel)
{
    const IOChannel channel(providerKey, ioChannel);
    m_channels[channel].mask = 0;
    m_tickets->dropChannel(channel);
    refreshAll();
    touch();
}

void RecipeRouter::onProgress(QUrl target, Recipe recipe, ProgressRatio ratio)
{
    const QString path = target.toLocalFile();
    auto it = m_requests.constFind(path);
    if (it != m_requests.cend() && it->recipe == recipe)
        setTargetProgress(path, *it, ratio);
}

void RecipeRouter::onReleased(Recipe, IFileSink::Error)
{
    emit activityCountChanged();
}

void RecipeRouter::setLive(QUuid session, bool live)
{
    auto it = m_sequences.find(session);
    if (it == m_sequences.end())
        return;
    TransferSequence& seq = *it;
    QVector<int> roles;
    if (seq.active != live)
        roles << PipelineModel::IsActive;
    seq.active = live;
    if (live) {
        if (seq.err)
            roles << PipelineModel::ErrFlags;
        seq.err = 0;
        for (const QString& path : seq.pending) {
            auto request = m_requests.find(path);
            if (request == m_requests.end()) {
                qCWarning(lcPipeline) << "setLive: request not found" << path;
                continue;
            }
            request->live = true;
            request->err = 0;
            setWaiting(seq, *request, false);
        }
        touch();
    }
    refreshRow(session, roles);
    emit activityCountChanged();
}

void RecipeRouter::setLive(QUuid session, IFileSink::Error error)
{
    auto it = m_sequences.find(session);
    if (it == m_sequences.end())
        return;
    for (const QString& path : it->pending) {
        auto request = m_requests.find(path);
        if (request == m_requests.end())
            continue;
        request->err &= ~int(error);
        request->live = request->err == 0;
        setWaiting(*it, *request, false);
    }
    // The session's own block goes with it; what requests still carry stays.
    it->err &= ~int(error);
    purify(session, *it);
    refreshRow(session, { PipelineModel::IsActive, PipelineModel::ErrFlags });
    emit activityCountChanged();
    touch();
}

void RecipeRouter::purify(const QUuid& session, TransferSequence& seq)
{
    int carried = 0;
    for (const QString& path : seq.pending) {
        auto request = m_requests.constFind(path);
        if (request == m_requests.cend()) {
            qCWarning(lcPipeline) << "purify: request not found" << path;
            continue;
        }
        carried |= request->err;
    }
    seq.err &= carried;
    refreshRow(session, { PipelineModel::ErrFlags });
}

bool RecipeRouter::hasMore(QUuid session)
{
    const TransferSequence* seq = findSequence(session);
    return seq && !seq->finished();
}

void RecipeRouter::clarify(TrafficTicket ticket, Arbiter arbiter)
{
    // The decision answers the question about an existing target: the request that was
    // held for it runs again (as the journal records it), or it would wait for ever.
    const int answered = Present | CantDel;
    auto decide = [this, arbiter, answered](TransferRequest& request) {
        request.arbiter = arbiter;
        if (request.err & answered) {
            request.err &= ~answered;
            request.live = request.err == 0;
        }
    };
    QSet<QUuid> touched;
    switch (ticket.scope) {
    case TargetScope: {
        auto it = m_requests.find(ticket.target);
        if (it == m_requests.end()) {
            qCWarning(lcPipeline) << "clarify: request not found" << ticket.target;
        } else if (!it->done) {
            decide(*it);
            touched.insert(it->session);
        }
        break;
    }
    case SessionScope:
    case GlobalScope:
        for (auto seq = m_sequences.cbegin(); seq != m_sequences.cend(); ++seq) {
            if (ticket.scope == SessionScope ? seq.key() != ticket.session : seq.key().isNull())
                continue;
            for (const QString& path : seq->pending) {
                auto it = m_requests.find(path);
                if (it != m_requests.end())
                    decide(*it);
            }
            touched.insert(seq.key());
        }
        break;
    default:
        break;
    }
    for (const QUuid& session : qAsConst(touched)) {
        if (m_sequences.contains(session))
            purify(session, m_sequences[session]);
    }
    touch();
}

bool RecipeRouter::hasFile(QUrl file)
{
    return m_requests.contains(file.toLocalFile());
}

bool RecipeRouter::hasRequests()
{
    return !m_requests.isEmpty();
}

bool RecipeRouter::hasRequests(QString provider, QString ioChannel)
{
    for (const TransferRequest& request : qAsConst(m_requests)) {
        if (!request.done && request.recipe.provider == provider && request.recipe.ioChannel == ioChannel)
            return true;
    }
    return false;
}

void RecipeRouter::unblockChannel(Recipe recipe)
{
    m_channels[IOChannel(recipe)].mask = 0;
}

void RecipeRouter::unblockVolume(Volume volume)
{
    m_volumes[volume].mask = 0;
}

void RecipeRouter::revive(QUrl url)
{
    const QString path = url.toLocalFile();
    auto it = m_requests.find(path);
    if (it == m_requests.end()) {
        qCDebug(lcPipeline) << "revive: request not found" << path;
        return;
    }
    it->live = true;
    it->err = 0;
    const QUuid session = it->session;
    TransferSequence& seq = sequence(session);
    setWaiting(seq, *it, false);
    for (const IOChannel& channel : qAsConst(seq.channels))
        m_channels[channel].mask = 0;
    for (const Volume& volume : qAsConst(seq.volumes))
        m_volumes[volume].mask = 0;
    purify(session, seq);
    touch();
}

bool RecipeRouter::recall(QUrl url)
{
    const QString path = url.toLocalFile();
    auto it = m_requests.find(path);
    if (it == m_requests.end()) {
        qCWarning(lcPipeline) << "recall: request not found" << path;
        return false;
    }
    if (m_channels.value(IOChannel(it->recipe)).outstanding.contains(path)) {
        qCWarning(lcPipeline) << "recall: request in flight" << path;
        return false;
    }
    const TransferRequest request = *it;
    TransferSequence& seq = sequence(request.session);
    if (seq.all.size() == 1 && !request.session.isNull()) {
        // The session's only file: the whole session goes, and the withdrawal holds.
        dismiss(request.session);
        return true;
    }
    const bool wasFinished = seq.finished();
    setWaiting(seq, *it, false);
    setTargetProgress(path, request, ProgressRatio(0, 0));
    seq.all.erase(path);
    seq.done.erase(path);
    seq.pending.erase(path);
    seq.raw.erase(path);
    seq.toVerify.erase(path);
    m_requests.erase(it);
    purify(request.session, seq);
    refreshRow(request.session);
    emit activityCountChanged();
    checkCompletion(request.session, wasFinished);
    touch();
    return true;
}

QList<QUuid> RecipeRouter::sessions()
{
    return m_sessions;
}

QList<QUuid> RecipeRouter::sessions(TrafficTicket ticket)
{
    QList<QUuid> reached;
    if (ticket.scope == SessionScope)
        return { ticket.session };
    if (ticket.scope == GlobalScope)
        return m_sessions;
    if (ticket.scope < FolderScope || ticket.scope > ProviderScope)
        return reached;
    // Absolute folders compared component by component, the leading "" included.
    const QStringList folder = QDir::cleanPath(ticket.folder).split(QLatin1Char('/'));
    const IOChannel channel(ticket.recipe);
    for (auto it = m_sequences.cbegin(); it != m_sequences.cend(); ++it) {
        if (it.key().isNull())
            continue;
        const TransferSequence& seq = *it;
        bool match = false;
        switch (ticket.scope) {
        case FolderScope: {
            // The folder holds the session's files, or lies among them.
            const int common = qMin(folder.size(), seq.path.size());
            match = !seq.path.isEmpty() && !ticket.folder.isEmpty()
                && seq.path.mid(0, common) == folder.mid(0, common);
            break;
        }
        case VolumeScope:
            match = seq.volumes.contains(ticket.volume);
            break;
        case DeviceScope:
            match = seq.channels.contains(channel);
            break;
        case ProviderScope:
            match
                = !seq.channelOrder.isEmpty() && seq.channelOrder.first().provider == ticket.recipe.provider;
            break;
        default:
            break;
        }
        if (match)
            reached.append(it.key());
    }
    return reached;
}

QList<QUrl> RecipeRouter::urls(QUuid session, IFileSink::Error error)
{
    QList<QUrl> found;
    const TransferSequence* seq = findSequence(session);
    if (!seq)
        return found;
    for (const QString& path : seq->all) {
        auto it = m_requests.constFind(path);
        if (it != m_requests.cend() && (it->err & error))
            found.append(QUrl::fromLocalFile(path));
    }
    return found;
}

QList<QUrl> RecipeRouter::urls(Recipe recipe)
{
    QList<QUrl> found;
    for (auto it = m_requests.cbegin(); it != m_requests.cend(); ++it) {
        if (it->recipe == recipe)
            found.append(QUrl::fromLocalFile(it.key()));
    }
    return found;
}

ProgressModel* RecipeRouter::footprint()
{
    return m_progress;
}

ProgressModel* RecipeRouter::footprint(QUuid session)
{
    ProgressModel*& model = m_sessionProgress[session];
    if (!model)
        model = new ProgressModel(this);
    return model;
}

ProgressModel* RecipeRouter::footprint(QUrl path)
{
    const QStorageInfo storage = findVolumeForPath(m_mounted, path.toLocalFile());
    return volumeProgress(storage.isValid() ? storage.rootPath() : QString());
}

QAbstractItemModel* RecipeRouter::model()
{
    return m_model;
}

QList<QUrl> RecipeRouter::files(QUuid session)
{
    QList<QUrl> found;
    if (const TransferSequence* seq = findSequence(session)) {
        for (const QString& path : seq->all)
            found.append(QUrl::fromLocalFile(path));
    }
    return found;
}

void RecipeRouter::start()
{
    m_model->refreshAll({});
    m_started = true;
    // The copies of an import that did not finish before the restart are checked again:
    // their verification may have been cut off, and without it they are never marked
    // as imported nor freed at the source.
    // Those still there are sent once the worker has looked.
    const QHash<QString, Unchecked> unchecked = std::exchange(m_unchecked, {});
    for (auto it = unchecked.cbegin(); it != unchecked.cend(); ++it) {
        const TransferSequence* seq = findSequence(it->session);
        if (seq && !seq->finished() && !seq->cancelled)
            m_revalidate.insert(it.key(), it.value());
    }
    touch();
}

void RecipeRouter::clear() { }

void RecipeRouter::pauseAll()
{
    for (auto it = m_sequences.begin(); it != m_sequences.end(); ++it) {
        if (!it->finished() && it->active) {
            it->active = false;
            refreshRow(it.key(), { PipelineModel::IsActive });
        }
    }
    emit activityCountChanged();
}

void RecipeRouter::dismiss(QUuid session)
{
    auto it = m_sequences.find(session);
    if (it == m_sequences.end())
        return;
    it->cancelled = true;
    if (!it->finished()) {
        changeParts(session, nullptr, [session](RemovablePart& part) {
            part.requested.remove(session);
            part.freeing.remove(session);
            part.completed.remove(session);
        });
    }
    refreshRow(session, { PipelineModel::IsCancel });
    touch();
}

void RecipeRouter::setFree(QUuid session)
{
    qCDebug(lcPipeline) << "Session" << session << "is autoremovable";
    TransferSequence& seq = addSequence(session);
    if (!seq.free) {
        seq.free = true;
        changeParts(session, nullptr, [session](RemovablePart& part) { part.freeing.insert(session); });
    }
    refreshRow(session);
    touch();
}

void RecipeRouter::setFree(QUuid session, Recipe recipe)
{
    qCDebug(lcPipeline) << "Recipe" << recipe.recipe.toJson(QJsonDocument::Compact) << "is autoremovable";
    changeParts(session, &recipe, [session](RemovablePart& part) { part.freeing.insert(session); });
    refreshRow(session);
    touch();
}

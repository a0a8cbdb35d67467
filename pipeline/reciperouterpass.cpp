// The scheduling pass of RecipeRouter and the local copies it starts.
#include "pipeline/logging.h"
#include "pipeline/reciperouter.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <unistd.h>
#include <vector>

#include "pipeline/filecopy.h"
#include "pipeline/interfaces/findvolumeforpath.h"
#include "pipeline/pipelinemodel.h"
#include "platform/ifilecalls.h"
#include "platform/nativefilecopy.h"

namespace {

// Local copies handed to one volume's copy thread at once: twice a group, so that the
// thread places the next group while the scheduler takes in the last one.
constexpr int kCopiesPerVolume = 2 * CopyGroup::kMaxCopies;
// Every copy goes through a temporary name, so a cut-off file never carries the target's.
const QString kTransferSuffix = QStringLiteral(".transfer");

} // namespace

void RecipeRouter::touch()
{
    // Without the mounted volumes every target would look unmounted.
    if (!m_started || !m_mountedKnown || m_queued)
        return;
    m_queued = true;
    QMetaObject::invokeMethod(this, "touchQueued", Qt::QueuedConnection);
}

void RecipeRouter::touchQueued()
{
    m_queued = false;
    if (m_probing) {
        m_probeAgain = true;
        return;
    }
    PassVolumeCache::Questions questions = passQuestions();
    askChecks(questions);
    if (questions.isEmpty()) {
        runPass({});
        return;
    }
    // The task owns what it uses: it may outlive this object (see the destructor).
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const PassVolumeCache::Hook hook = m_probeHook;
    m_probing = m_probes.start([this, replies, hook, questions] {
        PassVolumeCache::Facts facts = PassVolumeCache::probe(questions, hook);
        replies->post([this, facts]() mutable {
            m_probing = false;
            runPass(std::move(facts));
            // What came while the probe ran is looked at by a pass of its own.
            if (std::exchange(m_probeAgain, false))
                touch();
        });
    });
}

void RecipeRouter::runPass(PassVolumeCache::Facts facts)
{
    m_pass.setFacts(std::move(facts));
    front->setBatch(true);
    // Inside the batch: a picture found removable is deleted at its source only once the
    // journal has saved the batch.
    applyChecks();
    loseFilesWithoutLocalOriginal();
    touchGuarded();
    front->setBatch(false);
}

void RecipeRouter::askChecks(PassVolumeCache::Questions& questions)
{
    m_asked.completions = std::exchange(m_completions, {});
    m_asked.verifications = std::exchange(m_verifications, {});
    m_asked.freeChecks = std::exchange(m_freeChecks, {});
    m_asked.revalidate = std::exchange(m_revalidate, {});
    for (auto it = m_asked.completions.cbegin(); it != m_asked.completions.cend(); ++it) {
        questions.checks.insert(it.key());
        if (it->verify)
            questions.validations.insert(it.key(), { it->recipe, it->validator });
    }
    for (const auto& verification : qAsConst(m_asked.verifications))
        questions.checks.insert(verification.first.toLocalFile());
    for (const std::shared_ptr<Constellation>& image : qAsConst(m_asked.freeChecks)) {
        for (const RemovablePart& part : qAsConst(image->parts)) {
            for (const QUrl& url : part.ownVerified())
                questions.checks.insert(url.toLocalFile());
        }
    }
    for (auto it = m_asked.revalidate.cbegin(); it != m_asked.revalidate.cend(); ++it)
        questions.checks.insert(it.key());
}

void RecipeRouter::applyChecks()
{
    const Asked asked = std::exchange(m_asked, {});
    // In the order they came: a file's completion before its verification, both before
    // the check of its picture's deletion.
    for (auto it = asked.completions.cbegin(); it != asked.completions.cend(); ++it)
        applyCompletion(it.key(), it.value());
    for (const auto& verification : asked.verifications)
        applyVerification(verification.first, verification.second);
    for (const std::shared_ptr<Constellation>& image : asked.freeChecks)
        applyFreeCheck(image);
    for (auto it = asked.revalidate.cbegin(); it != asked.revalidate.cend(); ++it) {
        const PassVolumeCache::Facts::Checked* found = m_pass.checked(it.key());
        const TransferSequence* seq = findSequence(it->session);
        if (found && found->isFile && seq && !seq->finished() && !seq->cancelled)
            emit front->needValidate(QUrl::fromLocalFile(it.key()), it->recipe);
    }
    // Pictures that these answers made removable have their copies among them: looked at
    // now, with what the worker has just read, rather than on a trip of their own.
    const QList<std::shared_ptr<Constellation>> frees = std::exchange(m_freeChecks, {});
    for (const std::shared_ptr<Constellation>& image : frees) {
        bool known = true;
        for (const RemovablePart& part : qAsConst(image->parts)) {
            for (const QUrl& url : part.ownVerified())
                known = known && m_pass.checked(url.toLocalFile());
        }
        if (known)
            applyFreeCheck(image);
        else
            m_freeChecks.append(image);
    }
}

PassVolumeCache::Questions RecipeRouter::passQuestions()
{
    PassVolumeCache::Questions questions;
    m_passCapacity.clear();
    // Files that wait only for room are asked about as far as their channel has room: a
    // source that takes a few transfers at a time would else have thousands of waiting
    // files asked about for every pass.
    QHash<IOChannel, int> rooms;
    QList<QUuid> order = m_sessions;
    if (!order.isEmpty() && order.first().isNull())
        order.append(order.takeFirst());
    for (int i = order.size() - 1; i >= 0; --i) {
        auto seq = m_sequences.constFind(order.at(i));
        if (seq == m_sequences.cend())
            continue;
        if (seq->cancelled) {
            // Dropped by the pass with their sizes once nothing of them is under way.
            if (!seq->underWay()) {
                for (const QString& path : seq->all)
                    questions.targets.append({ path, Volume() });
            }
            continue;
        }
        if (!seq->active || (seq->err & BlockingMask) || seq->pending.empty())
            continue;
        const bool allWaiting = seq->waiting == int(seq->pending.size());
        if (allWaiting && !anyRoom(*seq))
            continue;
        // As the pass: once every file waits for room, the walk ends with the room.
        const auto roomLeft = [this, &rooms](const TransferSequence& s) {
            for (const IOChannel& channel : s.channels) {
                IProvider* source = provider(channel.provider);
                if (!source || m_channels.value(channel).mask)
                    continue;
                const auto left = rooms.constFind(channel);
                if ((left == rooms.cend() ? room(channel, source) : left.value()) >= 1)
                    return true;
            }
            return false;
        };
        for (auto path = seq->pending.crbegin(); path != seq->pending.crend(); ++path) {
            if (allWaiting && !roomLeft(*seq))
                break;
            auto it = m_requests.constFind(*path);
            if (it == m_requests.cend() || !it->live)
                continue;
            IProvider* source = provider(it->recipe.provider);
            if (!source || !looksAt(*it, source))
                continue;
            if (it->waiting) {
                const IOChannel channel(it->recipe);
                auto left = rooms.find(channel);
                if (left == rooms.end())
                    left = rooms.insert(channel, room(channel, source));
                if (left.value() < 1)
                    continue;
                --left.value();
            }
            Volume volume = it->volume;
            if (!volume.isResolved()) {
                const QStorageInfo storage = findVolumeForPath(m_mounted, QFileInfo(*path).absolutePath());
                if (!storage.isValid())
                    continue;
                volume = Volume(storage);
            }
            questions.targets.append({ *path, volume });
            auto copies = m_copiesByRecipe.constFind(it->recipe);
            if (copies == m_copiesByRecipe.cend())
                continue;
            for (const QString& copy : *copies) {
                if (copy != *path)
                    questions.files.insert(copy);
            }
        }
    }
    m_passCapacity.clear();
    return questions;
}

bool RecipeRouter::looksAt(const TransferRequest& request, IProvider* source)
{
    const IOChannel channel(request.recipe);
    // A file that waits only for room is looked at again once its channel has some.
    if (request.waiting && room(channel, source) < 1)
        return false;
    // A file that only a local copy can bring, while its volume has as many copies queued
    // as it takes and its source has no room, is looked at once the volume has room: a
    // large import from local sources visits it after every group of copies, and must not
    // touch the disk each time.
    if (request.volume.isResolved() && room(channel, source) < 1 && hasLocalCandidate(request.recipe)) {
        auto volume = m_volumes.constFind(request.volume);
        if (volume != m_volumes.cend() && volume->outstanding.size() >= kCopiesPerVolume)
            return false;
    }
    return true;
}

bool RecipeRouter::knowsCandidates(const QString& target, const Recipe& recipe) const
{
    auto copies = m_copiesByRecipe.constFind(recipe);
    if (copies == m_copiesByRecipe.cend())
        return true;
    for (const QString& copy : *copies) {
        if (copy != target && !m_pass.knowsFile(copy))
            return false;
    }
    return true;
}

void RecipeRouter::touchGuarded()
{
    m_passCapacity.clear();
    m_takenChannels.clear();
    QList<QUuid> order = m_sessions;
    if (!order.isEmpty() && order.first().isNull())
        order.append(order.takeFirst());
    // The null session first, then sessions from the oldest to the newest.
    for (int i = order.size() - 1; i >= 0; --i) {
        const QUuid session = order.at(i);
        if (m_sequences.contains(session))
            visitSession(session, m_sequences[session]);
    }
    m_pass.clear();
    // Paths that came after the probe are asked about for the next pass.
    if (std::exchange(m_passMissed, false))
        touch();
}

void RecipeRouter::visitSession(const QUuid& session, TransferSequence& seq)
{
    if (seq.cancelled) {
        if (seq.underWay())
            reclaimCancelled(seq);
        else
            dropCancelled(session, seq);
        return;
    }
    if (!seq.active || (seq.err & BlockingMask))
        return;
    bool channelFree = session.isNull();
    for (const IOChannel& channel : qAsConst(seq.channels))
        channelFree = channelFree || !m_takenChannels.contains(channel);
    if (!seq.pending.empty() && channelFree) {
        // Thousands of files may wait for a few transfers at a time: once every pending
        // file waits only for room and no channel has any, the rest of the files need no
        // look. The pending set may change under each visit, so the walk goes by key.
        const bool allWaiting = seq.waiting == int(seq.pending.size());
        QString cursor;
        bool first = true;
        while (!(allWaiting && !anyRoom(seq))) {
            auto next = first ? seq.pending.end() : seq.pending.lower_bound(cursor);
            if (next == seq.pending.begin())
                break;
            cursor = *--next;
            first = false;
            visitTarget(cursor, seq);
        }
    }
    // An older session with transfers under way holds its channels.
    if (seq.underWay()) {
        for (const IOChannel& channel : qAsConst(seq.channels))
            m_takenChannels.insert(channel);
    }
}

void RecipeRouter::visitTarget(const QString& path, TransferSequence& seq)
{
    auto it = m_requests.find(path);
    if (it == m_requests.end()) {
        qCWarning(lcPipeline) << "TG-Live: request not found" << path;
        return;
    }
    if (!it->live)
        return;
    IProvider* source = provider(it->recipe.provider);
    if (!source || !looksAt(*it, source))
        return;
    setWaiting(seq, *it, false);
    // Set again only when this visit starts writing the file.
    it->placing = false;
    const QUrl url = QUrl::fromLocalFile(path);
    if (!it->volume.isResolved()) {
        const QStorageInfo storage = findVolumeForPath(m_mounted, QFileInfo(path).absolutePath());
        if (!storage.isValid()) {
            front->onObstacle(url, it->recipe, NoDrive);
            return;
        }
        it->volume = Volume(storage);
        seq.volumes.insert(it->volume);
    }
    // Asked about by the probe unless it came after (the next pass has it).
    if (!m_pass.knows(path)) {
        m_passMissed = true;
        return;
    }
    const bool exists = m_pass.exists(path);
    const Visit next = exists ? visitPresent(path, *it, source) : visitAbsent(path, *it, seq, source);
    auto still = m_requests.find(path);
    if (next == Visit::SourceTransfer && still != m_requests.end())
        sourceTransfer(path, *still, seq, source, exists);
}

void RecipeRouter::setWaiting(TransferSequence& seq, TransferRequest& request, bool waiting)
{
    if (request.waiting != waiting)
        seq.waiting += waiting ? 1 : -1;
    request.waiting = waiting;
}

void RecipeRouter::wakeWaiting(const Recipe& recipe)
{
    // A file that waited for room on its source (one that fetches nothing, as a camera
    // volume) can now be copied from the new local file instead: passes look at it again.
    for (auto seq = m_sequences.begin(); seq != m_sequences.end(); ++seq) {
        if (seq->waiting == 0)
            continue;
        for (const QString& path : seq->pending) {
            auto it = m_requests.find(path);
            if (it != m_requests.end() && it->waiting && it->recipe == recipe)
                setWaiting(*seq, *it, false);
        }
    }
}

bool RecipeRouter::anyRoom(const TransferSequence& seq)
{
    for (const IOChannel& channel : seq.channels) {
        IProvider* source = provider(channel.provider);
        if (source && room(channel, source) >= 1 && !m_channels.value(channel).mask)
            return true;
    }
    return false;
}

void RecipeRouter::dropCancelled(const QUuid& session, TransferSequence& seq)
{
    // Requests kept for their final errors go with the pending ones.
    const PathSet paths = seq.all;
    for (const QString& path : paths) {
        auto it = m_requests.find(path);
        if (it == m_requests.end()) {
            if (seq.pending.count(path))
                qCWarning(lcPipeline) << "TG-Cancel: request not found" << path;
            continue;
        }
        const qint64 size = m_pass.size(path, it->recipe.fileSize);
        const QVariant key(path);
        volumeProgress(it->volume.rootPath)->setPartialProgress(size, size, key);
        if (!session.isNull())
            m_progress->setPartialProgress(size, size, key);
        if (!it->recipe.imageUuid.isNull()) {
            Constellation& image = harvest(it->recipe);
            if (image.index.isValid()) {
                if (IProvider* source = provider(it->recipe.provider))
                    source->imageChanged(image.key(), it->recipe.imageUuid, image.index, &image);
            }
        }
        m_requests.erase(it);
    }
    const int row = m_sessions.indexOf(session);
    if (session.isNull()) {
        m_sequences.remove(session);
        refreshRow(session);
    } else {
        m_model->removeSession(row, [this, row, session] {
            m_sessions.removeAt(row);
            m_sequences.remove(session);
        });
    }
    emit activityCountChanged();
}

void RecipeRouter::reclaimCancelled(TransferSequence& seq)
{
    // Local copies queued on the session's volumes and not made yet are not made; those
    // made already are reported as usual.
    for (const Volume& volume : qAsConst(seq.volumes)) {
        for (const QString& path : qAsConst(m_volumes[volume].outstanding)) {
            const auto withdrawal = m_copyWithdrawals.constFind(path);
            if (seq.all.count(path) && withdrawal != m_copyWithdrawals.cend())
                withdrawal.value()->store(true);
        }
    }
    for (const IOChannel& channel : qAsConst(seq.channels)) {
        ChannelEntry& entry = m_channels[channel];
        const QSet<QString> underWay = entry.outstanding;
        for (const QString& path : underWay) {
            // Only this session's own transfers: the channel may carry other sessions'.
            if (!seq.all.count(path))
                continue;
            qCDebug(lcPipeline) << "Reclaiming" << path << "from" << channel.provider << channel.ioChannel;
            auto it = m_requests.constFind(path);
            if (it == m_requests.cend()) {
                qCWarning(lcPipeline) << "TG-Reclaim: request not found" << path;
                continue;
            }
            IProvider* source = provider(channel.provider);
            if (source && source->reclaim(QUrl::fromLocalFile(path), it->recipe)) {
                entry.outstanding.remove(path);
                seq.pending.insert(path);
                emit inFlightCountChanged();
                // The next pass drops the session once nothing of it is under way.
                touch();
            }
        }
    }
}

bool RecipeRouter::checkTarget(const QString& path, TransferRequest& request)
{
    const QUrl url = QUrl::fromLocalFile(path);
    const QString folder = QFileInfo(path).absolutePath();
    // A folder yet to be made is on the volume of its nearest existing parent.
    const QStorageInfo storage = m_pass.storageOf(folder);
    const Recipe recipe = request.recipe;
    if (!storage.isValid() || !storage.isReady() || Volume(storage) != request.volume) {
        front->onObstacle(url, recipe, NoDrive);
        return false;
    }
    m_volumes[request.volume].mask = 0;
    // The drive is there: one mounted read-only is a place that cannot be written to, and
    // the user is told so rather than that it is gone.
    if (storage.isReadOnly()) {
        front->onObstacle(url, recipe, NoWrite);
        return false;
    }
    const int made = m_pass.made(folder);
    const int writable = m_pass.writable(folder);
    if (made < 0 || (made == 1 && writable < 0)) {
        // The probe expected the target on another volume: asked again.
        m_passMissed = true;
        return false;
    }
    if (made == 0) {
        front->onObstacle(url, recipe, DirLost);
        return false;
    }
    if (writable == 0) {
        front->onObstacle(url, recipe, NoWrite);
        return false;
    }
    if (m_pass.bytesAvailable(request.volume, storage) < recipe.fileSize + storage.blockSize()) {
        front->onObstacle(url, recipe, NoSpace);
        return false;
    }
    return true;
}

RecipeRouter::Visit RecipeRouter::visitAbsent(
    const QString& path, TransferRequest& request, TransferSequence& seq, IProvider* source)
{
    if (!checkTarget(path, request))
        return Visit::Next;
    if (!knowsCandidates(path, request.recipe)) {
        m_passMissed = true;
        return Visit::Next;
    }
    QString from;
    LocalCopy copy;
    if (!findLocalSource(path, request.recipe, &from, &copy))
        return Visit::SourceTransfer;
    // Small files too: copying one here would hold the window on a volume that is slow to
    // answer, or to make the copy's name durable.
    if (!startLocalCopy(path, request, from, copy, source))
        return Visit::SourceTransfer;
    m_pass.spend(request.volume, copy.size);
    request.placing = true;
    seq.pending.erase(path);
    return Visit::Next;
}

RecipeRouter::Visit RecipeRouter::visitPresent(const QString& path, TransferRequest& request, IProvider*)
{
    const QUrl url = QUrl::fromLocalFile(path);
    const Recipe recipe = request.recipe;
    if (!request.arbiter.skip && !request.arbiter.overwrite) {
        front->onObstacle(url, recipe, Present);
        return Visit::Next;
    }
    if (request.arbiter.skip && !request.arbiter.overwrite) {
        front->onComplete(url, recipe);
        return Visit::Next;
    }
    // Overwrite: the old file is replaced only once the new one has arrived.
    return Visit::SourceTransfer;
}

bool RecipeRouter::replaceable(const QString& path, const TransferRequest& request, IProvider* source)
{
    // The image service lets go of the old file; its token is dropped at once.
    if (m_bailiff && source->isManaged(request.recipe)) {
        const std::shared_ptr<QSemaphoreReleaser> holder = m_bailiff->evictPath(path);
        if (!holder) {
            front->onObstacle(QUrl::fromLocalFile(path), Recipe(request.recipe), CantDel);
            return false;
        }
    }
    const int writable = m_pass.writable(QFileInfo(path).absolutePath());
    if (writable < 0) {
        m_passMissed = true;
        return false;
    }
    if (m_pass.isDir(path) || writable == 0) {
        front->onObstacle(QUrl::fromLocalFile(path), Recipe(request.recipe), CantDel);
        return false;
    }
    return true;
}

void RecipeRouter::sourceTransfer(
    const QString& path, TransferRequest& request, TransferSequence& seq, IProvider* source, bool exists)
{
    const IOChannel channel(request.recipe);
    ChannelEntry& entry = m_channels[channel];
    if (entry.mask)
        return;
    const Recipe recipe = request.recipe;
    const QUrl url = QUrl::fromLocalFile(path);
    if (source->isRaw(recipe))
        seq.raw.insert(path);
    if (exists && request.arbiter.skip && request.arbiter.overwrite) {
        if (request.session.isNull() && source->adopt(url, recipe))
            return;
        if (source->verify(url, recipe)) {
            front->onComplete(url, recipe);
            return;
        }
    }
    if (room(channel, source) < 1) {
        // Nothing but room can move it on: no local copy to make, no file to decide on.
        setWaiting(seq, request, !exists && !hasLocalCandidate(recipe));
        return;
    }
    // An existing target stays until the source puts the new file in its place with one
    // rename: a failed fetch leaves the user the old file.
    if (exists && !replaceable(path, request, source))
        return;
    const Arbiter arbiter = request.arbiter;
    seq.pending.erase(path);
    m_channels[channel].outstanding.insert(path);
    request.placing = true;
    source->fetch(url, recipe, arbiter);
    emit inFlightCountChanged();
}

int RecipeRouter::room(const IOChannel& channel, IProvider* source)
{
    auto capacity = m_passCapacity.find(channel);
    if (capacity == m_passCapacity.end())
        capacity = m_passCapacity.insert(channel, source->capacity(channel.ioChannel));
    return capacity.value() - m_channels.value(channel).outstanding.size();
}

bool RecipeRouter::hasLocalCandidate(const Recipe& recipe) const
{
    auto it = m_copiesByRecipe.constFind(recipe);
    return it != m_copiesByRecipe.cend() && !it->empty();
}

bool RecipeRouter::findLocalSource(
    const QString& target, const Recipe& recipe, QString* source, LocalCopy* copy)
{
    auto it = m_copiesByRecipe.find(recipe);
    if (it == m_copiesByRecipe.end() || it->empty())
        return false;
    const std::vector<QString> candidates(it->begin(), it->end());
    const int count = int(candidates.size());
    const int start = int(QRandomGenerator::global()->bounded(quint32(count)));
    for (int k = 0; k < count; ++k) {
        const QString& candidate = candidates.at((start + k) % count);
        if (candidate == target) {
            m_copiesByRecipe[recipe].erase(candidate);
            continue;
        }
        auto record = m_localCopies.constFind(candidate);
        if (record == m_localCopies.cend())
            continue;
        qint64 size = 0;
        QDateTime modified;
        if (m_pass.stampOf(candidate, &size, &modified) && size == record->size
            && modified == record->modified) {
            *source = candidate;
            *copy = *record;
            return true;
        }
    }
    return false;
}

void RecipeRouter::stopCopyThreads()
{
    // A worker waiting for a file's lock gives up; queued copies end at once.
    m_stop->store(true);
    for (VolumeEntry& entry : m_volumes) {
        if (!entry.thread)
            continue;
        entry.thread->requestInterruption();
        // Behind the copies already queued, so every worker runs (and deletes itself).
        // The copies placed so far are settled (their folders synced) before the thread ends.
        QThread* thread = entry.thread;
        CopyGroup* group = entry.group;
        QMetaObject::invokeMethod(
            group,
            [thread, group] {
                group->flush();
                thread->quit();
            },
            Qt::QueuedConnection);
    }
    for (VolumeEntry& entry : m_volumes) {
        if (!entry.thread)
            continue;
        entry.thread->wait();
        delete entry.group;
        delete entry.thread;
    }
}

bool RecipeRouter::startLocalCopy(const QString& target, const TransferRequest& request,
    const QString& source, const LocalCopy& copy, IProvider* provider)
{
    VolumeEntry& entry = m_volumes[request.volume];
    if (entry.outstanding.size() >= kCopiesPerVolume)
        return false;
    if (!entry.outstanding.isEmpty()) {
        // The volume is busy: the source fetches the file when it has room; else the copy
        // queues behind the others, and the copies of the volume are reported together.
        const IOChannel channel(request.recipe);
        if (!m_channels.value(channel).mask && room(channel, provider) >= 1)
            return false;
    }
    if (!entry.thread) {
        entry.thread = new QThread;
        entry.thread->setObjectName(QStringLiteral("Copy ") + request.volume.rootPath);
        entry.thread->start(QThread::LowPriority);
        entry.group = new CopyGroup;
        entry.group->moveToThread(entry.thread);
        connect(entry.group, &CopyGroup::settled, this, &RecipeRouter::onCopiesSettled, Qt::QueuedConnection);
    }
    auto* worker = new FileCopy;
    worker->filePerm = m_filePerm;
    worker->source = source;
    worker->size = copy.size;
    worker->modified = copy.modified;
    worker->validator = provider->validator();
    worker->target = target;
    worker->volume = request.volume;
    worker->recipe = request.recipe;
    worker->appendix = kTransferSuffix;
    worker->calls = m_fileCalls;
    worker->stop = m_stop;
    worker->withdrawn = std::make_shared<std::atomic<bool>>(false);
    m_copyWithdrawals.insert(target, worker->withdrawn);
    worker->moveToThread(entry.thread);
    connect(worker, &FileCopy::onFailed, this, &RecipeRouter::onFileFailed, Qt::QueuedConnection);
    connect(worker, &FileCopy::onObstacle, this, &RecipeRouter::onCopyObstacle, Qt::QueuedConnection);
    entry.outstanding.insert(target);
    m_copySources.insert(target, source);
    CopyGroup* group = entry.group;
    QMetaObject::invokeMethod(
        group, [group, worker] { group->take(worker); }, Qt::QueuedConnection);
    emit inFlightCountChanged();
    return true;
}

void RecipeRouter::forgetLocalCopy(const QString& path, const Recipe& recipe)
{
    m_localCopies.remove(path);
    auto it = m_copiesByRecipe.find(recipe);
    if (it != m_copiesByRecipe.end()) {
        it->erase(path);
        if (it->empty())
            m_copiesByRecipe.erase(it);
    }
}

void RecipeRouter::onFileFailed(QString source, Recipe recipe)
{
    qCDebug(lcPipeline) << "copy from" << source << "failed";
    forgetLocalCopy(source, recipe);
}

void RecipeRouter::onCopyObstacle(QUrl target, Recipe recipe, IFileSink::Error error)
{
    m_copyObstacles.insert(target.toLocalFile(), error);
    front->onObstacle(target, recipe, error);
}

void RecipeRouter::onCopiesSettled(QVector<CopyOutcome> outcomes)
{
    // One journal transaction for the group; the sources delete nothing before it is saved.
    front->setBatch(true);
    for (const CopyOutcome& outcome : qAsConst(outcomes))
        onFileCopied(outcome.target, outcome.recipe, outcome.volume, outcome.success);
    front->setBatch(false);
}

void RecipeRouter::onFileCopied(QString target, Recipe recipe, Volume volume, bool success)
{
    m_volumes[volume].outstanding.remove(target);
    const QString source = m_copySources.take(target);
    const int obstacle = m_copyObstacles.take(target);
    const std::shared_ptr<std::atomic<bool>> withdrawal = m_copyWithdrawals.take(target);
    const bool withdrawn = withdrawal && withdrawal->load();
    emit inFlightCountChanged();
    const QUrl url = QUrl::fromLocalFile(target);
    if (success) {
        front->onComplete(url, recipe);
        return;
    }
    qCDebug(lcPipeline) << "copy into" << target << "failed";
    // Unless the session now waits for the user (no room, no folder), the next pass
    // fetches the file from its source instead of failing on the same copy again.
    // A copy withdrawn before it was made says nothing about its source.
    if (!(obstacle & BlockingMask) && !source.isEmpty() && !withdrawn)
        forgetLocalCopy(source, recipe);
    auto it = m_requests.constFind(target);
    if (it != m_requests.cend() && !it->done) {
        TransferSequence& seq = sequence(it->session);
        seq.done.erase(target);
        seq.pending.insert(target);
    }
    touch();
}

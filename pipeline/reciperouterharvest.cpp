// What RecipeRouter knows of each image of a source: which sessions asked for its files,
// which have them, which are verified, and when the source may delete the image.
#include "pipeline/logging.h"
#include "pipeline/reciperouter.h"

#include <utility>

#include <QDebug>
#include <QFileInfo>
#include <QJsonDocument>

bool RecipeRouter::RemovablePart::active() const
{
    for (const QUuid& session : requested) {
        if (!session.isNull() && !completedBeforeStart.contains(session))
            return true;
    }
    return false;
}

bool RecipeRouter::RemovablePart::complete() const
{
    if (completed.isEmpty())
        return false;
    for (const QUuid& session : requested) {
        if (!completed.contains(session))
            return false;
    }
    return true;
}

// A file that the import did not write itself (an earlier copy, a file found in place)
// never lets the source delete the picture, however well it verified: it may be gone
// or another file by the time the picture is.
bool RecipeRouter::RemovablePart::removable() const
{
    if (freeing.isEmpty() || !complete())
        return false;
    for (const QUrl& url : verified) {
        if (freeing.contains(placed.value(url)))
            return true;
    }
    return false;
}

QList<QUrl> RecipeRouter::RemovablePart::ownVerified() const
{
    QList<QUrl> own;
    for (const QUrl& url : verified) {
        if (freeing.contains(placed.value(url)))
            own.append(url);
    }
    return own;
}

int RecipeRouter::RemovablePart::copyInPlace(const Recipe& recipe, const PassVolumeCache& checked) const
{
    bool unknown = false;
    for (const QUrl& url : ownVerified()) {
        const PassVolumeCache::Facts::Checked* found = checked.checked(url.toLocalFile());
        if (!found) {
            unknown = true;
            continue;
        }
        const qint64 size = verifiedSize.value(url, recipe.estimate ? -1 : recipe.fileSize);
        if (found->isFile && (size < 0 || found->size == size))
            return 1;
    }
    return unknown ? -1 : 0;
}

bool RecipeRouter::Constellation::active() const
{
    for (const RemovablePart& part : parts) {
        if (part.active())
            return true;
    }
    return false;
}

// An image without files is neither complete nor removable: nothing of it was imported.
bool RecipeRouter::Constellation::complete() const
{
    for (const RemovablePart& part : parts) {
        if (!part.complete())
            return false;
    }
    return !parts.isEmpty();
}

bool RecipeRouter::Constellation::removable() const
{
    if (!index.isValid() || parts.isEmpty())
        return false;
    for (const RemovablePart& part : parts) {
        if (!part.removable())
            return false;
    }
    return !copyGone;
}

Recipe RecipeRouter::Constellation::key() const
{
    Recipe recipe;
    recipe.provider = provider;
    recipe.ioChannel = ioChannel;
    return recipe;
}

RecipeRouter::Constellation& RecipeRouter::harvest(const Recipe& recipe)
{
    const HarvestKey key { recipe.provider, recipe.ioChannel, recipe.imageUuid };
    std::shared_ptr<Constellation>& image = m_harvests[key];
    if (!image) {
        image = std::make_shared<Constellation>();
        image->provider = recipe.provider;
        image->ioChannel = recipe.ioChannel;
        image->imageUuid = recipe.imageUuid;
        m_harvestsByImage.insert(recipe.imageUuid, key);
    }
    return *image;
}

RecipeRouter::Constellation* RecipeRouter::findHarvest(const Recipe& recipe)
{
    return m_harvests.value(HarvestKey { recipe.provider, recipe.ioChannel, recipe.imageUuid }).get();
}

IHarvest* RecipeRouter::claimIndex(QString providerKey, QString ioChannel, QUuid imageUuid, QModelIndex index)
{
    Recipe key;
    key.provider = providerKey;
    key.ioChannel = ioChannel;
    key.imageUuid = imageUuid;
    Constellation& image = harvest(key);
    image.index = index;
    return &image;
}

void RecipeRouter::onClaimAll(QString providerKey, QString ioChannel)
{
    QList<Recipe> released;
    for (const std::shared_ptr<Constellation>& image : qAsConst(m_harvests)) {
        if (image->provider != providerKey || image->ioChannel != ioChannel || image->index.isValid())
            continue;
        for (auto part = image->parts.cbegin(); part != image->parts.cend(); ++part)
            released.append(part.key());
    }
    for (const Recipe& recipe : qAsConst(released))
        front->onReleased(recipe, SrcLost);

    // A source that fetches nothing (its files are local, as a camera volume's) has listed
    // every file it has: a queued file without a local original would wait for ever with
    // nothing to tell the user, so it is lost at its source.
    IProvider* source = provider(providerKey);
    if (!source || source->capacity(ioChannel) > 0)
        return;
    if (!m_lostChecks.contains({ providerKey, ioChannel }))
        m_lostChecks.append({ providerKey, ioChannel });
    loseFilesWithoutLocalOriginal();
}

void RecipeRouter::loseFilesWithoutLocalOriginal()
{
    if (m_lostChecks.isEmpty())
        return;
    // Local files completed just before (the source's own, listed last) become local
    // originals once the worker has read them: until then nothing is told lost.
    if (!m_completions.isEmpty() || !m_asked.completions.isEmpty()) {
        touch();
        return;
    }
    const auto checks = std::exchange(m_lostChecks, {});
    QList<QPair<QString, Recipe>> lost;
    for (const auto& check : checks) {
        IProvider* source = provider(check.first);
        if (!source || source->capacity(check.second) > 0)
            continue;
        const IOChannel channel(check.first, check.second);
        for (auto seq = m_sequences.cbegin(); seq != m_sequences.cend(); ++seq) {
            if (seq.key().isNull() || !seq->channels.contains(channel))
                continue;
            for (const QString& path : seq->pending) {
                auto it = m_requests.constFind(path);
                if (it != m_requests.cend() && it->live && IOChannel(it->recipe) == channel
                    && !hasLocalCandidate(it->recipe))
                    lost.append({ path, it->recipe });
            }
        }
    }
    for (const auto& file : qAsConst(lost))
        front->onObstacle(QUrl::fromLocalFile(file.first), file.second, SrcLost);
}

bool RecipeRouter::freeRemovable(Constellation& image, bool again)
{
    IProvider* source = provider(image.provider);
    if ((again && image.freed) || !source || !image.removable())
        return false;
    const auto it = m_harvests.constFind(HarvestKey { image.provider, image.ioChannel, image.imageUuid });
    if (it == m_harvests.cend() || it->get() != &image)
        return false;
    // Its copies are looked at on the worker first: a folder renamed or a volume unmounted
    // since the verification leaves the picture at the source.
    image.freed = true;
    m_freeChecks.append(*it);
    touch();
    return true;
}

void RecipeRouter::applyFreeCheck(const std::shared_ptr<Constellation>& image)
{
    IProvider* source = provider(image->provider);
    const HarvestKey key { image->provider, image->ioChannel, image->imageUuid };
    if (!source || m_harvests.value(key) != image)
        return;
    // Undone meanwhile (a dismissed session): nothing to delete.
    if (!image->removable()) {
        image->freed = false;
        if (image->index.isValid())
            source->imageChanged(image->key(), image->imageUuid, image->index, image.get());
        return;
    }
    bool unknown = false;
    bool gone = false;
    for (auto part = image->parts.cbegin(); part != image->parts.cend(); ++part) {
        const int inPlace = part->copyInPlace(part.key(), m_pass);
        if (inPlace == 0) {
            qCWarning(lcPipeline) << "Copy of" << image->imageUuid
                                  << part.key().recipe.toJson(QJsonDocument::Compact)
                                  << "gone since its verification:" << part->verified << "kept at the source";
            gone = true;
        }
        unknown = unknown || inPlace < 0;
    }
    if (gone) {
        image->freed = false;
        image->copyGone = true;
        if (image->index.isValid())
            source->imageChanged(image->key(), image->imageUuid, image->index, image.get());
        return;
    }
    if (unknown) {
        // A copy verified after the question was asked: asked again.
        m_freeChecks.append(image);
        m_passMissed = true;
        return;
    }
    // Told once the journal has saved what made it removable.
    if (m_batchOpen)
        m_deferredFrees.append(image);
    else
        source->freeImage(image->key(), image->imageUuid, image->index);
}

void RecipeRouter::setBatch(bool open)
{
    m_batchOpen = open;
    if (!open)
        freeDeferred();
}

void RecipeRouter::freeDeferred()
{
    const QList<std::shared_ptr<Constellation>> images = std::exchange(m_deferredFrees, {});
    for (const std::shared_ptr<Constellation>& image : images) {
        IProvider* source = provider(image->provider);
        const HarvestKey key { image->provider, image->ioChannel, image->imageUuid };
        if (!source || m_harvests.value(key) != image)
            continue;
        // Still removable once saved: a change since (a dismissed session) may have undone it.
        if (image->removable()) {
            source->freeImage(image->key(), image->imageUuid, image->index);
            continue;
        }
        image->freed = false;
        if (image->index.isValid())
            source->imageChanged(image->key(), image->imageUuid, image->index, image.get());
    }
}

void RecipeRouter::tellImageChanged(Constellation& image, const Recipe& recipe, IProvider* source)
{
    if (image.index.isValid())
        source->imageChanged(image.key(), recipe.imageUuid, image.index, &image);
}

void RecipeRouter::harvestCompleted(const QString& path, const TransferRequest& request, IProvider* source)
{
    const Recipe& recipe = request.recipe;
    if (recipe.imageUuid.isNull())
        return;
    const QUrl url = QUrl::fromLocalFile(path);
    Constellation& image = harvest(recipe);
    RemovablePart& part = image.parts[recipe];
    const bool wasRemovable = part.removable();
    part.requested.insert(request.session);
    part.completed.insert(request.session);
    if (!m_started)
        part.completedBeforeStart.insert(request.session);
    if (!part.urls.contains(url))
        part.urls.append(url);
    // Replayed rows were written by their session before the restart.
    if (!request.session.isNull() && (request.placing || !m_started))
        part.placed.insert(url, request.session);
    else
        part.placed.remove(url);
    if (request.session.isNull()) {
        // A file the source has locally without any import (a camera volume's own file, a
        // preview in the cache) is no copy of the picture: it never counts as verified,
        // or the source could delete the picture before its import was checked.
    } else if (source->isManaged(recipe)) {
        if (m_started || !part.freeing.isEmpty())
            emit front->needValidate(url, recipe);
        else
            m_unchecked.insert(path, { request.session, recipe });
    } else {
        // The source's test reads the file: it runs on the worker with the file's check.
        Completion& check = m_completions[path];
        check.verify = true;
        check.validator = source->validator();
    }
    if (!(!wasRemovable && part.removable() && freeRemovable(image)))
        tellImageChanged(image, recipe, source);
}

void RecipeRouter::applyCompletion(const QString& path, const Completion& completion)
{
    const Recipe& recipe = completion.recipe;
    const PassVolumeCache::Facts::Checked* found = m_pass.checked(path);
    if (!found || !found->isFile) {
        // Removed, or made unreadable, between its copy and its check: no local source, no
        // verification, and its picture stays at the source.
        qCWarning(lcPipeline) << "Completed file" << path << "gone before its check - not verified";
        if (Constellation* image = recipe.imageUuid.isNull() ? nullptr : findHarvest(recipe)) {
            if (IProvider* source = provider(recipe.provider))
                tellImageChanged(*image, recipe, source);
        }
        return;
    }
    m_localCopies.insert(path, LocalCopy { found->size, found->modified });
    m_copiesByRecipe[recipe].insert(path);
    wakeWaiting(recipe);
    if (!completion.verify || recipe.imageUuid.isNull())
        return;
    Constellation* image = findHarvest(recipe);
    IProvider* source = provider(recipe.provider);
    if (!image || !source)
        return;
    auto part = image->parts.find(recipe);
    const QUrl url = QUrl::fromLocalFile(path);
    if (part == image->parts.end() || !found->valid || part->verified.contains(url))
        return;
    const bool wasRemovable = part->removable();
    part->verified.append(url);
    part->verifiedSize.insert(url, found->size);
    image->copyGone = false;
    if (!(!wasRemovable && part->removable() && freeRemovable(*image)))
        tellImageChanged(*image, recipe, source);
}

void RecipeRouter::changeParts(
    const QUuid& session, const Recipe* only, const std::function<void(RemovablePart&)>& change)
{
    for (const std::shared_ptr<Constellation>& image : qAsConst(m_harvests)) {
        for (auto part = image->parts.begin(); part != image->parts.end(); ++part) {
            if ((only && part.key() != *only) || !part->requested.contains(session))
                continue;
            const bool wasRemovable = part->removable();
            change(*part);
            if (!wasRemovable && part->removable())
                freeRemovable(*image);
        }
    }
}

void RecipeRouter::onVerified(QUrl target, QUuid imageUuid)
{
    // The size it was verified with is read on the worker, with the pass's questions.
    m_verifications.append({ target, imageUuid });
    touch();
}

void RecipeRouter::applyVerification(const QUrl& target, const QUuid& imageUuid)
{
    const PassVolumeCache::Facts::Checked* found = m_pass.checked(target.toLocalFile());
    const qint64 size = found && found->isFile ? found->size : 0;
    const QList<HarvestKey> keys = m_harvestsByImage.values(imageUuid);
    for (const HarvestKey& key : keys) {
        Constellation* image = m_harvests.value(key).get();
        if (!image)
            continue;
        for (auto part = image->parts.begin(); part != image->parts.end(); ++part) {
            if (!part->urls.contains(target))
                continue;
            if (part->verified.contains(target)) {
                // Checked again (compressed in place): the new size is the one to expect.
                const bool changed = part->verifiedSize.value(target, -1) != size;
                part->verifiedSize.insert(target, size);
                if (changed)
                    image->copyGone = false;
                // A check of the source's deletion may have found the old size gone.
                if (changed && part->removable())
                    freeRemovable(*image, true);
                continue;
            }
            // Another file's verification (an earlier import's) may have come first.
            const bool wasRemovable = part->removable();
            part->verified.append(target);
            part->verifiedSize.insert(target, size);
            image->copyGone = false;
            if (!wasRemovable && part->removable())
                freeRemovable(*image);
        }
    }
}

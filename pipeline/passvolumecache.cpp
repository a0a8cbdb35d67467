#include "pipeline/passvolumecache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pipeline/foldermaker.h"

namespace {

// The storage of the folder, or of the nearest existing folder above it.
QStorageInfo storageAt(const QString& path)
{
    QString existing = QDir::cleanPath(QDir(path).absolutePath());
    while (!QFileInfo(existing).isDir() && existing != QDir::rootPath()) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            break;
        existing = parent;
    }
    return QStorageInfo(existing);
}

} // namespace

PassVolumeCache::Facts PassVolumeCache::probe(const Questions& questions, const Hook& hook)
{
    Facts facts;
    for (const Questions::Target& target : questions.targets) {
        if (facts.targets.contains(target.path))
            continue;
        if (hook)
            hook(target.path);
        const QFileInfo info(target.path);
        Facts::Target& found = facts.targets[target.path];
        found.exists = info.exists();
        found.isDir = found.exists && info.isDir();
        found.size = found.exists ? info.size() : 0;
        const QString folderPath = info.absolutePath();
        auto folder = facts.folders.find(folderPath);
        if (folder == facts.folders.end()) {
            if (hook)
                hook(folderPath);
            Facts::Folder entry;
            entry.storage = storageAt(folderPath);
            folder = facts.folders.insert(folderPath, entry);
        }
        const QStorageInfo& storage = folder->storage;
        // The pass makes the folder of an absent target once its volume passed the checks.
        if (!found.exists && folder->made < 0 && storage.isValid() && storage.isReady()
            && !storage.isReadOnly() && Volume(storage) == target.volume)
            folder->made = makeFolder(folderPath) ? 1 : 0;
        if (folder->writable < 0 && (found.exists || folder->made == 1))
            folder->writable = QFileInfo(folderPath).isWritable() ? 1 : 0;
    }
    for (const QString& path : questions.files) {
        if (hook)
            hook(path);
        const QFileInfo info(path);
        Facts::File& file = facts.files[path];
        file.exists = info.exists();
        if (file.exists) {
            file.size = info.size();
            file.modified = info.lastModified();
        }
    }
    for (const QString& path : questions.checks) {
        if (hook)
            hook(path);
        Facts::Checked found = check(path);
        const auto validation = questions.validations.constFind(path);
        if (found.isFile && validation != questions.validations.cend() && validation->validator)
            found.valid = validation->validator(QUrl::fromLocalFile(path), validation->recipe);
        facts.checked.insert(path, found);
    }
    return facts;
}

PassVolumeCache::Facts::Checked PassVolumeCache::check(const QString& path)
{
    Facts::Checked found;
    // Opened, not only looked up: a copy that can't be read is no copy, and the size and
    // time are those of the file that was opened.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return found;
    struct stat st;
    // A file unlinked since its name was looked up is no longer where it was put.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink > 0) {
        found.isFile = true;
        found.size = st.st_size;
        found.modified
            = QDateTime::fromMSecsSinceEpoch(qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000);
    }
    ::close(fd);
    return found;
}

void PassVolumeCache::setFacts(Facts facts)
{
    m_facts = std::move(facts);
    m_available.clear();
}

qint64 PassVolumeCache::size(const QString& target, qint64 otherwise) const
{
    const auto it = m_facts.targets.constFind(target);
    if (it == m_facts.targets.cend())
        return otherwise;
    return it->exists ? it->size : 0;
}

QStorageInfo PassVolumeCache::storageOf(const QString& folder) const
{
    return m_facts.folders.value(folder).storage;
}

int PassVolumeCache::made(const QString& folder) const
{
    const auto it = m_facts.folders.constFind(folder);
    return it == m_facts.folders.cend() ? -1 : it->made;
}

int PassVolumeCache::writable(const QString& folder) const
{
    const auto it = m_facts.folders.constFind(folder);
    return it == m_facts.folders.cend() ? -1 : it->writable;
}

bool PassVolumeCache::stampOf(const QString& file, qint64* size, QDateTime* modified) const
{
    const auto it = m_facts.files.constFind(file);
    if (it == m_facts.files.cend()) {
        const auto found = m_facts.checked.constFind(file);
        if (found == m_facts.checked.cend() || !found->isFile)
            return false;
        *size = found->size;
        *modified = found->modified;
        return true;
    }
    if (!it->exists)
        return false;
    *size = it->size;
    *modified = it->modified;
    return true;
}

qint64 PassVolumeCache::bytesAvailable(const Volume& volume, const QStorageInfo& storage)
{
    auto it = m_available.find(volume);
    // Read by the probe: the storage holds the figure it found.
    if (it == m_available.end())
        it = m_available.insert(volume, storage.bytesAvailable());
    return it.value();
}

void PassVolumeCache::spend(const Volume& volume, qint64 bytes)
{
    auto it = m_available.find(volume);
    if (it != m_available.end())
        it.value() -= bytes;
}

void PassVolumeCache::clear()
{
    m_facts = Facts();
    m_available.clear();
}

#include "capture/targetfolder.h"
#include "capture/logging.h"

#include <QDebug>
#include <QFileInfo>

#include "capture/volumes.h"
#include "core/progressmodel.h"
#include "core/replytarget.h"
#include "pipeline/interfaces/findvolumeforpath.h"

TargetFolder::TargetFolder(QObject* parent)
    : QObject(parent)
    , m_dir(QDir::root())
    , m_own(new ProgressModel(this))
    , m_projected(m_own)
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    connect(m_projected, &ProgressModel::progressChanged, this, &TargetFolder::onProgress);
}

TargetFolder::~TargetFolder()
{
    // A read held by a volume that hangs ends on its own and tells no one.
    m_replies->close();
}

QUrl TargetFolder::url() const
{
    return QUrl::fromLocalFile(m_dir.absolutePath());
}

QString TargetFolder::path() const
{
    return QDir::toNativeSeparators(m_dir.absolutePath());
}

void TargetFolder::readFreeSpace()
{
    if (m_reading) {
        m_readAgain = true;
        return;
    }
    // The task owns what it uses: it may outlive this object.
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const std::function<void(const QString&)> hook = m_readHook;
    QStorageInfo storage = m_storage;
    m_reading = m_reads.start([this, replies, hook, storage]() mutable {
        if (hook)
            hook(storage.rootPath());
        storage.refresh();
        const qint64 free = storage.isValid() && storage.isReady() ? storage.bytesAvailable() : -1;
        replies->post([this, free] {
            m_reading = false;
            if (free != m_free) {
                m_free = free;
                emit freeSpaceChanged();
            }
            if (std::exchange(m_readAgain, false))
                readFreeSpace();
        });
    });
}

bool TargetFolder::exists()
{
    return m_storage.isReady() && m_dir.exists();
}

bool TargetFolder::writable() const
{
    return QFileInfo(m_dir.absolutePath()).isWritable();
}

bool TargetFolder::create()
{
    if (QDir::root().mkpath(m_dir.absolutePath())) {
        // The folder may now sit on a volume of its own (a mount point below the path).
        lookUpVolume();
        m_dir.refresh();
        emit attribChanged();
        readFreeSpace();
    } else {
        qCWarning(lcCapture) << "Can't create" << m_dir.absolutePath();
    }
    return exists();
}

void TargetFolder::queryAttributes()
{
    lookUpVolume();
    m_dir.refresh();
    emit attribChanged();
    readFreeSpace();
}

void TargetFolder::setDir(const QDir& dir)
{
    if (dir == m_dir)
        return;
    m_dir = dir;
    lookUpVolume();
    emit folderChanged();
    m_dir.refresh();
    emit attribChanged();
    readFreeSpace();
}

void TargetFolder::setPath(const QString& path)
{
    setDir(QDir(path));
}

void TargetFolder::setUrl(const QUrl& url)
{
    setDir(QDir(url.toLocalFile()));
}

void TargetFolder::setProjected(ProgressModel* model)
{
    if (m_projected)
        disconnect(m_projected, &ProgressModel::progressChanged, this, &TargetFolder::onProgress);
    m_projected = model;
    if (m_projected)
        connect(m_projected, &ProgressModel::progressChanged, this, &TargetFolder::onProgress);
    emit freeSpaceChanged();
}

void TargetFolder::onProgress()
{
    if (!m_projected)
        return;
    const ProgressRatio ratio = m_projected->progress();
    const qint64 outstanding = ratio.second - ratio.first;
    if (outstanding != m_outstanding) {
        m_outstanding = outstanding;
        readFreeSpace();
    }
}

void TargetFolder::setVolumes(Volumes* volumes)
{
    if (m_volumes == volumes)
        return;
    if (m_volumes)
        disconnect(m_volumes, &Volumes::mountedChanged, this, &TargetFolder::queryAttributes);
    m_volumes = volumes;
    if (m_volumes)
        connect(m_volumes, &Volumes::mountedChanged, this, &TargetFolder::queryAttributes);
    emit volumesChanged();
    queryAttributes();
}

void TargetFolder::lookUpVolume()
{
    // A folder that does not exist yet has no canonical path and sits on the root volume.
    const QString canonical = m_dir.canonicalPath();
    const QStorageInfo found = canonical.isEmpty() || !m_volumes
        ? QStorageInfo()
        : findVolumeForPath(m_volumes->mounted(), canonical);
    m_storage = found.isValid() ? found : QStorageInfo::root();
}

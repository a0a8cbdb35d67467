#include "capture/targetfolder.h"
#include "capture/logging.h"

#include <QDebug>
#include <QFileInfo>

#include "capture/volumes.h"
#include "core/progressmodel.h"
#include "pipeline/interfaces/findvolumeforpath.h"

TargetFolder::TargetFolder(QObject* parent)
    : QObject(parent)
    , m_dir(QDir::root())
    , m_own(new ProgressModel(this))
    , m_projected(m_own)
{
    connect(m_projected, &ProgressModel::progressChanged, this, &TargetFolder::onProgress);
}

QUrl TargetFolder::url() const
{
    return QUrl::fromLocalFile(m_dir.absolutePath());
}

QString TargetFolder::path() const
{
    return QDir::toNativeSeparators(m_dir.absolutePath());
}

qint64 TargetFolder::freeSpace()
{
    m_storage.refresh();
    return m_storage.bytesAvailable();
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
        emit freeSpaceChanged();
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
    emit freeSpaceChanged();
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
    emit freeSpaceChanged();
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
        emit freeSpaceChanged();
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

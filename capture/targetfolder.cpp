#include "capture/targetfolder.h"
#include "capture/logging.h"

#include <QDebug>
#include <QFile>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

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

namespace {

// Free bytes the user may write on the file system that holds the folder, as the folder
// opened reads them (space reserved for root does not count); -1 when it can't be opened.
qint64 availableAt(const QString& folder)
{
    if (folder.isEmpty())
        return -1;
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct statvfs st;
    const bool read = ::fstatvfs(fd, &st) == 0;
    ::close(fd);
    return read ? qint64(st.f_bavail) * qint64(st.f_frsize) : -1;
}

// Where the folder is and what it allows: its volume among `mounted` (the root volume when
// none holds it, or when the folder does not exist yet), whether it exists on a ready
// volume, whether it is writable, and the free space there. Asks the file system.
TargetFolder::Attributes readAttributes(const QString& path, const QList<QStorageInfo>& mounted, bool listed)
{
    TargetFolder::Attributes read;
    const QString canonical = QDir(path).canonicalPath();
    const QStorageInfo found
        = canonical.isEmpty() || !listed ? QStorageInfo() : findVolumeForPath(mounted, canonical);
    read.storage = found.isValid() ? found : QStorageInfo::root();
    // The folder itself is asked, opened.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    read.exists = read.storage.isReady() && fd >= 0;
    read.writable = fd >= 0 && ::faccessat(fd, ".", W_OK, 0) == 0;
    if (fd >= 0)
        ::close(fd);
    read.free = read.storage.isValid() ? availableAt(read.storage.rootPath()) : -1;
    return read;
}

} // namespace

void TargetFolder::readLater(Read what)
{
    if (m_reading) {
        (what == Read::Create              ? m_createAgain
                : what == Read::Attributes ? m_attributesAgain
                                           : m_freeAgain)
            = true;
        return;
    }
    // The task owns what it uses: it may outlive this object.
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const std::function<void(const QString&)> hook = m_readHook;
    const QString path = m_dir.absolutePath();
    const QList<QStorageInfo> mounted = m_volumes ? m_volumes->mounted() : QList<QStorageInfo>();
    const bool listed = m_volumes;
    const int generation = m_generation;
    const QStorageInfo storage = m_storage;
    const bool attributes = what != Read::FreeSpace;
    m_reading
        = m_reads.start([this, replies, hook, path, mounted, listed, generation, what, attributes, storage] {
              Attributes read;
              if (attributes) {
                  if (hook)
                      hook(path);
                  if (what == Read::Create && !QDir::root().mkpath(path))
                      qCWarning(lcCapture) << "Can't create" << path;
                  read = readAttributes(path, mounted, listed);
              } else {
                  if (hook)
                      hook(storage.rootPath());
                  read.free = storage.isValid() ? availableAt(storage.rootPath()) : -1;
              }
              replies->post([this, read, attributes, generation] {
                  m_reading = false;
                  // What a newer folder, or a read asked for since, says stands.
                  if (attributes && generation == m_generation) {
                      apply(read);
                      emit attributesRead();
                  } else if (!attributes) {
                      setFree(read.free);
                  }
                  if (std::exchange(m_createAgain, false)) {
                      m_attributesAgain = m_freeAgain = false;
                      readLater(Read::Create);
                  } else if (std::exchange(m_attributesAgain, false)) {
                      m_freeAgain = false;
                      readLater(Read::Attributes);
                  } else if (std::exchange(m_freeAgain, false)) {
                      readLater(Read::FreeSpace);
                  }
              });
          });
}

void TargetFolder::readFreeSpace()
{
    readLater(Read::FreeSpace);
}

void TargetFolder::setFree(qint64 free)
{
    if (free == m_free)
        return;
    m_free = free;
    emit freeSpaceChanged();
}

void TargetFolder::apply(const Attributes& read)
{
    m_storage = read.storage;
    m_exists = read.exists;
    m_writable = read.writable;
    emit attribChanged();
    setFree(read.free);
}

void TargetFolder::create()
{
    // The folder may then sit on a volume of its own (a mount point below the path).
    ++m_generation;
    readLater(Read::Create);
}

void TargetFolder::queryAttributes()
{
    ++m_generation;
    readLater(Read::Attributes);
}

void TargetFolder::setDir(const QDir& dir)
{
    if (dir == m_dir)
        return;
    m_dir = dir;
    ++m_generation;
    // Unknown until read.
    m_storage = QStorageInfo();
    m_exists = false;
    m_writable = false;
    emit folderChanged();
    emit attribChanged();
    readLater(Read::Attributes);
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
        disconnect(m_volumes, &Volumes::mountedChanged, this, &TargetFolder::onMountedChanged);
    m_volumes = volumes;
    if (m_volumes)
        connect(m_volumes, &Volumes::mountedChanged, this, &TargetFolder::onMountedChanged);
    emit volumesChanged();
    ++m_generation;
    readLater(Read::Attributes);
}

void TargetFolder::onMountedChanged()
{
    ++m_generation;
    readLater(Read::Attributes);
}

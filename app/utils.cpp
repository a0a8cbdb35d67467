#include "app/utils.h"

#include "capture/volumes.h"
#include "core/replytarget.h"
#include "core/texthelpers.h"
#include "pipeline/interfaces/findvolumeforpath.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

QString firstLocation(int location)
{
    const QStringList folders = QStandardPaths::standardLocations(QStandardPaths::StandardLocation(location));
    return folders.isEmpty() ? QString() : folders.constFirst();
}

// How long the end of the object waits for a volume under way.
constexpr int kLeaveMs = 500;

// Free bytes of the file system whose root folder this is that the user may fill (the
// blocks a disk keeps for the system are left out, as the import's check of each copy leaves
// them out), as the folder opened reads them; -1 when it can't be opened.
qlonglong freeBytesAt(const QString& root)
{
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct statvfs st;
    const bool read = ::fstatvfs(fd, &st) == 0;
    ::close(fd);
    return read ? qlonglong(st.f_bavail) * qlonglong(st.f_frsize) : -1;
}

// Whether the folder, opened, may be written into: false for a file, a folder that can't
// be opened, or one on a volume mounted read-only.
bool writableFolder(const QString& folder)
{
    const QByteArray native = QFile::encodeName(folder);
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) // a folder that may be written but not listed
        return errno == EACCES && QFileInfo(folder).isDir() && ::access(native.constData(), W_OK) == 0;
    const bool writable = ::faccessat(fd, ".", W_OK, 0) == 0;
    ::close(fd);
    return writable;
}

// The names the folder holds, each looked up in the folder opened once.
QStringList existingIn(const QString& folder, const QStringList& names)
{
    QStringList existing;
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return existing;
    for (const QString& name : names) {
        struct stat st;
        if (!name.isEmpty() && ::fstatat(fd, QFile::encodeName(name).constData(), &st, 0) == 0)
            existing << name;
    }
    ::close(fd);
    return existing;
}

// Makes the absolute, clean path with its missing parents, each one made in the folder
// above it opened; true when the path exists already.
bool makePath(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QString existing = Utils::nearestExisting(path);
    if (existing == path)
        return true;
    int fd = ::open(QFile::encodeName(existing).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const QStringList missing = path.mid(existing.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& name : missing) {
        if (fd < 0)
            break;
        const QByteArray native = QFile::encodeName(name);
        const bool made = ::mkdirat(fd, native.constData(), 0777) == 0 || errno == EEXIST;
        const int next = made ? ::openat(fd, native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(fd);
        fd = next;
    }
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// A path as the file system takes it: absolute, from the working folder of now.
QString absoluteClean(const QString& path)
{
    return path.isEmpty()
        ? QString()
        : QDir::cleanPath(QDir::current().absoluteFilePath(QDir::fromNativeSeparators(path)));
}

} // namespace

Utils::Utils(QObject* parent)
    : QObject(parent)
    , m_replies(std::make_shared<ReplyTarget>(this))
{ }

Utils::~Utils()
{
    // A volume that hangs is left to its worker; its answer reaches no one.
    m_replies->close();
    m_worker.leave(kLeaveMs);
    // A folder that hangs is left to its worker.
    for (const std::unique_ptr<LeavableWorker>& worker : m_folderWorkers)
        worker->leave(0);
}

QUrl Utils::fileUrl(const QString& path) const
{
    return path.isEmpty() ? QUrl() : QUrl::fromLocalFile(path);
}

QString Utils::urlToFilePath(const QUrl& url) const
{
    return QDir::toNativeSeparators(url.toLocalFile());
}

QString Utils::urlToFileName(const QUrl& url) const
{
    return QFileInfo(url.toLocalFile()).baseName();
}

QString Utils::fileNameFromUrl(const QUrl& url) const
{
    return url.fileName(QUrl::FullyDecoded);
}

QUrl Utils::openFile(const QString& title, const QString& filter, int location)
{
    return QFileDialog::getOpenFileUrl(
        QApplication::activeWindow(), title, QUrl::fromLocalFile(firstLocation(location)), filter);
}

QUrl Utils::openFile(const QString& title, const QString& filter)
{
    return openFile(title, filter, QStandardPaths::PicturesLocation);
}

QList<QUrl> Utils::openFiles(const QString& title, const QString& filter, int location)
{
    return QFileDialog::getOpenFileUrls(
        QApplication::activeWindow(), title, QUrl::fromLocalFile(firstLocation(location)), filter);
}

QList<QUrl> Utils::openFiles(const QString& title, const QString& filter)
{
    return openFiles(title, filter, QStandardPaths::PicturesLocation);
}

QString Utils::openFolder(const QString& title, const QString& location)
{
    return QFileDialog::getExistingDirectory(QApplication::activeWindow(), title, location,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

QString Utils::openFolder(const QString& title, int location)
{
    return openFolder(title, firstLocation(location));
}

QString Utils::openFolder(const QString& title)
{
    return openFolder(title, QStandardPaths::PicturesLocation);
}

QUrl Utils::openFolderUrl(const QString& title, const QUrl& location)
{
    return QFileDialog::getExistingDirectoryUrl(QApplication::activeWindow(), title, location,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

QUrl Utils::openFolderUrl(const QString& title, int location)
{
    return openFolderUrl(title, QUrl::fromLocalFile(firstLocation(location)));
}

QUrl Utils::openFolderUrl(const QString& title)
{
    return openFolderUrl(title, QStandardPaths::PicturesLocation);
}

void Utils::askSpaceFree(const QString& path, Volumes* volumes)
{
    // The list, not the mount table: reading the table asks every mounted file system.
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    const QStorageInfo volume
        = findVolumeForPath(volumes ? volumes->mounted() : QList<QStorageInfo>(), clean);
    if (m_asked.contains(path))
        return;
    m_asked.insert(path);
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const QString root = volume.isValid() ? volume.rootPath() : QString();
    const auto answer = [this, path](qlonglong bytes) {
        m_asked.remove(path);
        emit spaceFreeKnown(path, bytes);
    };
    // Queued alike whether a volume was read or none holds the path: answers come in the
    // order of the questions.
    if (!m_worker.start([replies, root, answer] {
            // The list is as old as the last mount or unmount: only this volume is asked again.
            const qlonglong bytes = root.isEmpty() ? -1 : freeBytesAt(root);
            replies->post([answer, bytes] { answer(bytes); });
        }))
        m_asked.remove(path);
}

qlonglong Utils::estimateSpaceFree(const QList<QStorageInfo>& volumes, const QString& path)
{
    // One rule with the pipeline: the longest root that ends at a folder boundary of the path.
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    QStorageInfo volume = findVolumeForPath(volumes, clean);
    if (!volume.isValid())
        return -1;
    // The list is as old as the last mount or unmount: only this volume is asked again.
    return freeBytesAt(volume.rootPath());
}

QString Utils::nearestExisting(const QString& path)
{
    QString current = QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(path)).absoluteFilePath());
    while (!QFileInfo::exists(current)) {
        const int slash = current.lastIndexOf(QLatin1Char('/'));
        const QString parent = slash <= 0 ? QStringLiteral("/") : current.left(slash);
        if (parent == current)
            break;
        current = parent;
    }
    return current;
}

void Utils::ask(std::function<void()> question)
{
    // The workers whose question is answered go.
    m_folderWorkers.erase(std::remove_if(m_folderWorkers.begin(), m_folderWorkers.end(),
                              [](const std::unique_ptr<LeavableWorker>& worker) { return !worker->busy(); }),
        m_folderWorkers.end());
    auto worker = std::make_unique<LeavableWorker>();
    if (worker->start(std::move(question)))
        m_folderWorkers.push_back(std::move(worker));
}

bool Utils::isDirWritable(const QString& path) const
{
    return !path.isEmpty() && writableFolder(nearestExisting(path));
}

void Utils::askDirWritable(const QString& path)
{
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    ask([this, replies, path] {
        const bool writable = isDirWritable(path);
        replies->post([this, path, writable] { emit dirWritableKnown(path, writable); });
    });
}

bool Utils::isFileExists(const QString& path) const
{
    return QFile::exists(path);
}

int Utils::askFilesExist(const QString& folder, const QStringList& names)
{
    const int question = ++m_questions;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const QString native = QDir::fromNativeSeparators(folder);
    ask([this, replies, question, native, names] {
        const QStringList existing = native.isEmpty() ? QStringList() : existingIn(native, names);
        replies->post([this, question, existing] { emit filesExistKnown(question, existing); });
    });
    return question;
}

QChar Utils::dirSeparator() const
{
    return QDir::separator();
}

bool Utils::createPath(const QString& path) const
{
    return makePath(absoluteClean(path));
}

void Utils::askCreatePath(const QString& path)
{
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const QString absolute = absoluteClean(path);
    ask([this, replies, path, absolute] {
        const bool created = makePath(absolute);
        replies->post([this, path, created] { emit pathCreated(path, created); });
    });
}

void Utils::showFolder(const QString& path) const
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

QString Utils::sizeText(qlonglong bytes) const
{
    return ::sizeText(bytes);
}

QString Utils::countText(qlonglong count, const QString& one, const QString& many) const
{
    return ::countText(count, one, many);
}

QString Utils::batchNote(const QString& done, const QList<QUrl>& failed) const
{
    if (failed.isEmpty())
        return done;
    return tr("Could not change") + QLatin1Char(' ')
        + (failed.size() == 1 ? fileNameFromUrl(failed.first())
                              : countText(failed.size(), tr("picture"), tr("pictures")));
}

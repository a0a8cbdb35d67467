#include "engine/statefile.h"
#include "engine/logging.h"

#include "ciapi/state/statecodec.h"
#include "ciapi/statefileeditor.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

std::atomic<StateFile::Sync> g_sync { nullptr };

int syncToDevice(int fd)
{
    const StateFile::Sync sync = g_sync.load();
    return sync ? sync(fd) : ::fsync(fd);
}

QByteArray produce(const StateFile::Writer& writer)
{
    std::ostringstream out(std::ios::binary | std::ios::out);
    writer(out);
    if (!out)
        throw std::runtime_error("Can't serialize");
    const std::string bytes = out.str();
    return QByteArray(bytes.data(), int(bytes.size()));
}

// Copies `from` to `to`, replacing whatever is there, and checks the copy.
bool copyChecked(const QString& from, const QString& to)
{
    // Only a regular file is copied: opening a pipe would wait for a writer.
    if (!QFileInfo(from).isFile())
        return false;
    if (QFile::exists(to) && !QFile::remove(to))
        return false;
    if (!QFile::copy(from, to))
        return false;
    QFile a(from);
    QFile b(to);
    if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly))
        return false;
    return a.readAll() == b.readAll();
}

// Why the lock file beside a state file could not be had, in the system's words where the
// file system tells (a full or read-only disk), so that whoever is told knows what to do.
QString lockFailureText(const QLockFile& lock, const QString& statePath)
{
    if (lock.error() == QLockFile::LockFailedError)
        return QStringLiteral("State file is locked");
    struct statvfs fs;
    if (::statvfs(QFile::encodeName(QFileInfo(statePath).absolutePath()).constData(), &fs) == 0) {
        if (fs.f_flag & ST_RDONLY)
            return QString::fromLocal8Bit(std::strerror(EROFS));
        if (fs.f_bavail == 0)
            return QString::fromLocal8Bit(std::strerror(ENOSPC));
    }
    return lock.error() == QLockFile::PermissionError ? QString::fromLocal8Bit(std::strerror(EACCES))
                                                      : QStringLiteral("Can't lock the state file");
}

} // namespace

namespace {
StateStamp stampOf(const struct stat& st)
{
    StateStamp stamp;
    stamp.size = st.st_size;
    stamp.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.inode = st.st_ino;
    stamp.device = st.st_dev;
    return stamp;
}
} // namespace

StateStamp StateStamp::of(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return StateStamp();
    return stampOf(st);
}

StateStamp StateStamp::of(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return StateStamp();
    return stampOf(st);
}

QString StateFile::pathFor(const QUrl& rawFile)
{
    return siblingPath(rawFile, QStringLiteral(".vrxs"));
}

QString StateFile::siblingPath(const QUrl& rawFile, const QString& suffix)
{
    const QFileInfo info(rawFile.toLocalFile());
    return info.absolutePath() + QLatin1Char('/') + info.completeBaseName() + suffix;
}

void StateFile::replace(const QString& path, const Writer& writer)
{
    const QByteArray bytes = produce(writer);
    QSaveFile file(path);
    // Unbuffered, and flushed by hand below: commit() does not notice a failure to
    // flush its buffer and would move a cut-off file into place.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw std::runtime_error("Couldn't open file for writing!");
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const std::string reason = file.errorString().toStdString();
        file.cancelWriting();
        throw std::runtime_error(reason);
    }
    // On the device before it takes the name: commit() syncs too, but goes on (and renames
    // over the old file) when the device reports that the bytes did not reach it.
    if (syncToDevice(file.handle()) != 0) {
        const std::string reason
            = std::string("Can't write the state file to the disk: ") + std::strerror(errno);
        file.cancelWriting();
        throw std::runtime_error(reason);
    }
    // Renames over the old file; on failure the old file stays.
    if (!file.commit())
        throw std::runtime_error(file.errorString().toStdString());
}

QString StateFile::keepAside(const QString& statePath)
{
    QString kept;
    for (int n = 1; kept.isEmpty() || QFileInfo::exists(kept); ++n)
        kept = statePath + QStringLiteral(".unreadable") + (n > 1 ? QString::number(n) : QString());
    if (!copyChecked(statePath, kept)) {
        QFile::remove(kept);
        return QString();
    }
    qCWarning(lcEngine) << "the state file that could not be read whole is kept as" << kept;
    return kept;
}

void StateFile::appendTo(const QString& path, const Writer& writer)
{
    const QByteArray bytes = produce(writer);
    const bool existed = QFileInfo::exists(path);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        throw std::runtime_error("Couldn't open file for writing!");
    const auto fail = [fd](const char* what, int error) {
        ::close(fd);
        throw std::runtime_error(std::string(what) + ": " + std::strerror(error));
    };

    // What is there now, to see that it ends on a record boundary.
    QByteArray old;
    for (char chunk[65536];;) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, off_t(old.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("Can't read the state file", errno);
        if (n == 0)
            break;
        old.append(chunk, int(n));
    }
    const auto intact = CIAPI::state::StateCodec::read(
        reinterpret_cast<const std::uint8_t*>(old.constData()), std::size_t(old.size()));
    // Readers pass over a segment cut off at the end, so one appended segment lands whole or
    // not at all. A record of several (a batch edit's tone, crop and thumbnail) cut off
    // between two of them by a kill or a power loss would leave part of the edit applied:
    // it is written with the old content into a new file renamed into place instead.
    const bool severalSegments
        = CIAPI::state::StateCodec::read(
              reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()))
              .segments
        > 1;
    if (severalSegments && intact.validBytes == std::uint64_t(old.size())) {
        ::close(fd);
        replace(path, [&](std::ostream& out) {
            out.write(old.constData(), old.size());
            out.write(bytes.constData(), bytes.size());
        });
        return;
    }
    if (intact.validBytes != std::uint64_t(old.size())) {
        // Bytes after the last intact record (an append cut short by a full disk, say) would
        // hide every record appended behind them: the file is rewritten whole, from its intact
        // records and the new one, beside the old and renamed over it.
        ::close(fd);
        qCWarning(lcEngine) << "state file" << path << "ends in" << (old.size() - qint64(intact.validBytes))
                            << "bytes that are no record; rewriting it";
        // They may hold edits behind one damaged record: the file is kept as it was.
        if (keepAside(path).isEmpty())
            throw std::runtime_error("Can't keep the damaged state file");
        old.truncate(int(intact.validBytes));
        replace(path, [&](std::ostream& out) {
            out.write(old.constData(), old.size());
            out.write(bytes.constData(), bytes.size());
        });
        return;
    }

    qint64 written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::pwrite(
            fd, bytes.constData() + written, size_t(bytes.size() - written), off_t(old.size() + written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Not all of it: take back what was written, so the file still ends on a record.
            const int error = n < 0 ? errno : ENOSPC;
            if (::ftruncate(fd, off_t(old.size())) != 0)
                qCWarning(lcEngine) << "can't take back a partial append to" << path;
            fail("Can't append to the state file", error);
        }
        written += n;
    }
    if (syncToDevice(fd) != 0) {
        const int error = errno;
        if (::ftruncate(fd, off_t(old.size())) != 0)
            qCWarning(lcEngine) << "can't take back an unsynced append to" << path;
        fail("Can't sync the state file", error);
    }
    ::close(fd);
    if (!existed) {
        // A new file's name must survive a crash too.
        const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
            O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
}

StateFile::Result StateFile::save(const QString& statePath, bool force, StateStamp& stamp,
    const Writer& writer, QString* error, int lockWaitMs, const QString& picture)
{
    QLockFile lock(lockPath(statePath));
    if (lockWaitMs >= 0 && !lock.tryLock(lockWaitMs)) {
        if (error)
            *error = lockFailureText(lock, statePath);
        return lock.error() == QLockFile::LockFailedError ? Result::Busy : Result::Failed;
    }
    if (lockWaitMs < 0 && !lock.lock()) {
        if (error)
            *error = lockFailureText(lock, statePath);
        return Result::Failed;
    }
    // The bin moves a picture and its state under this lock: once it has, the edits have
    // nothing left to belong to.
    if (!picture.isEmpty() && !QFileInfo::exists(picture)) {
        if (error)
            *error = QStringLiteral("The picture is gone");
        return Result::PictureGone;
    }
    // Checked under the lock, so no writer can slip in between the check and the write.
    const StateStamp onDisk = StateStamp::of(statePath);
    if (!force && onDisk.exists() && onDisk != stamp)
        return Result::ChangedOnDisk;

    const QString backup = backupPath(statePath);
    if (onDisk.exists()) {
        if (!copyChecked(statePath, backup)) {
            QFile::remove(backup);
            if (error)
                *error = QStringLiteral("Can't back up");
            qCWarning(lcEngine) << "can't write state" << statePath << "no backup";
            return Result::Failed;
        }
    } else {
        // A backup left by an interrupted save of a file that is gone means nothing now.
        QFile::remove(backup);
    }

    Result result = Result::Saved;
    try {
        replace(statePath, writer);
        stamp = StateStamp::of(statePath);
    } catch (const std::exception& e) {
        qCWarning(lcEngine) << "can't write state" << statePath << e.what();
        if (error)
            *error = QString::fromLocal8Bit(e.what());
        result = Result::Failed;
    } catch (...) {
        qCWarning(lcEngine) << "can't write state" << statePath << "Unknown exception";
        if (error)
            *error = QStringLiteral("Unknown exception");
        result = Result::Failed;
    }
    if (result == Result::Failed && onDisk.exists() && StateStamp::of(statePath) != onDisk) {
        // The old file was never touched by the write, but should anything have changed
        // it, the checked backup brings back its exact bytes.
        if (copyChecked(backup, statePath))
            qCWarning(lcEngine) << "restored state" << statePath;
        else
            return result; // keep the backup: it is the only good copy
    }
    QFile::remove(backup);
    return result;
}

StateFile::Result StateFile::saveKept(const UnsavedState& edits, QString* error, int lockWaitMs)
{
    if (edits.madeOver.exists() && !StateStamp::of(edits.statePath).exists())
        return Result::ChangedOnDisk;
    StateStamp stamp = edits.madeOver;
    return save(
        edits.statePath, false, stamp,
        [&edits](std::ostream& out) { out.write(edits.bytes.data(), std::streamsize(edits.bytes.size())); },
        error, lockWaitMs, edits.picture);
}

bool StateFile::read(const QString& statePath, const Reader& reader, StateStamp& stamp)
{
    return read(statePath, reader, stamp, -1) == ReadResult::Read;
}

bool StateFile::lockIsFree(const QString& statePath)
{
    QLockFile lock(lockPath(statePath));
    return lock.tryLock(0) || lock.error() != QLockFile::LockFailedError;
}

StateFile::ReadResult StateFile::read(
    const QString& statePath, const Reader& reader, StateStamp& stamp, int lockWaitMs)
{
    QLockFile lock(lockPath(statePath));
    // A folder where no lock can be made (read-only media) has no writer that takes it
    // either: the file is read all the same. Only a lock held by someone else stops the read.
    const bool locked = lockWaitMs < 0 ? lock.lock() : lock.tryLock(lockWaitMs);
    if (!locked && lock.error() == QLockFile::LockFailedError)
        return ReadResult::Busy;
    const QString backup = backupPath(statePath);
    if (!QFile::exists(statePath) && QFile::exists(backup)) {
        qCWarning(lcEngine) << "restoring state from backup" << statePath;
        QFile::rename(backup, statePath);
    }
    stamp = StateStamp();
    QFile file(statePath);
    // Only a regular file is a state: opening a pipe would wait for a writer.
    if (!QFileInfo(statePath).isFile() || !file.open(QIODevice::ReadOnly))
        return ReadResult::NoFile;
    // The stamp of the very file read, even if a writer renames another into place now.
    stamp = StateStamp::of(file.handle());
    const QByteArray bytes = file.readAll();
    file.close();
    std::istringstream in(
        std::string(bytes.constData(), size_t(bytes.size())), std::ios::binary | std::ios::in);
    reader(in);
    return ReadResult::Read;
}

void StateFile::setSync(Sync sync)
{
    g_sync = sync;
}

void StateFile::writeRating(const QUrl& rawFile, int rating, int lockWaitMs)
{
    const QString path = pathFor(rawFile);
    QLockFile lock(lockPath(path));
    // A rating is set from the user interface: a lock held elsewhere (or a folder where no
    // lock can be made) fails the write instead of freezing the window.
    if (!lock.tryLock(lockWaitMs))
        throw std::runtime_error(lockFailureText(lock, path).toStdString());
    if (rawFile.isLocalFile() && !QFileInfo::exists(rawFile.toLocalFile()))
        throw std::runtime_error("The picture is gone");
    CIAPI::StateFileEditor editor;
    editor.setUserRating(INT_MIN);
    editor.setUserRating(rating);
    appendTo(path, [&](std::ostream& out) { editor.serialize(out); });
}

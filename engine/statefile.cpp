#include "engine/statefile.h"
#include "engine/logging.h"

#include "ciapi/statefileeditor.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>

#include <climits>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace {

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
    // Flushes to disk and renames over the old file; on failure the old file stays.
    if (!file.commit())
        throw std::runtime_error(file.errorString().toStdString());
}

void StateFile::appendTo(const QString& path, const Writer& writer)
{
    const QByteArray bytes = produce(writer);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw std::runtime_error("Couldn't open file for writing!");
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw std::runtime_error(file.errorString().toStdString());
}

StateFile::Result StateFile::save(
    const QString& statePath, bool force, StateStamp& stamp, const Writer& writer, QString* error)
{
    QLockFile lock(lockPath(statePath));
    if (!lock.lock()) {
        if (error)
            *error = QStringLiteral("Can't lock");
        return Result::Failed;
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

bool StateFile::read(const QString& statePath, const Reader& reader, StateStamp& stamp)
{
    QLockFile lock(lockPath(statePath));
    lock.lock();
    const QString backup = backupPath(statePath);
    if (!QFile::exists(statePath) && QFile::exists(backup)) {
        qCWarning(lcEngine) << "restoring state from backup" << statePath;
        QFile::rename(backup, statePath);
    }
    stamp = StateStamp();
    QFile file(statePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // The stamp of the very file read, even if a writer renames another into place now.
    stamp = StateStamp::of(file.handle());
    const QByteArray bytes = file.readAll();
    file.close();
    std::istringstream in(
        std::string(bytes.constData(), size_t(bytes.size())), std::ios::binary | std::ios::in);
    reader(in);
    return true;
}

void StateFile::writeRating(const QUrl& rawFile, int rating, int lockWaitMs)
{
    const QString path = pathFor(rawFile);
    QLockFile lock(lockPath(path));
    // A rating is set from the user interface: a lock held elsewhere (or a folder where no
    // lock can be made) fails the write instead of freezing the window.
    if (!lock.tryLock(lockWaitMs))
        throw std::runtime_error(lock.error() == QLockFile::LockFailedError ? "State file is locked"
                                                                            : "Can't lock the state file");
    CIAPI::StateFileEditor editor;
    editor.setUserRating(INT_MIN);
    editor.setUserRating(rating);
    appendTo(path, [&](std::ostream& out) { editor.serialize(out); });
}

#include "pipeline/filecopy.h"
#include "pipeline/logging.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <unistd.h>

#include "engine/fileperm.h"
#include "platform/ifilecalls.h"
#include "platform/nativefilecopy.h"
#include "platform/threadpriority.h"

namespace {

constexpr int kLockPollMs = 100;

// Waits for a lock token as long as nobody stops the copy.
FileToken waitForToken(FilePerm* perm, const QString& path, int units, const std::function<bool()>& stopped)
{
    while (!stopped()) {
        FileToken token = perm->tryAcquireFileSemaphore(path, units, kLockPollMs);
        if (token)
            return token;
    }
    return FileToken();
}

} // namespace

FileCopy::FileCopy(QObject* parent)
    : QObject(parent)
{ }

IFileSink::Error FileCopy::obstacleFor(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return IFileSink::NoSpace;
    case EROFS:
    case EACCES:
    case EPERM:
        return IFileSink::NoWrite;
    case ENOENT:
    case ENOTDIR:
        return IFileSink::DirLost;
    case EIO:
        return IFileSink::IOError;
    default:
        return IFileSink::NoError;
    }
}

void FileCopy::setTwoStage(QString suffix)
{
    appendix = suffix;
}

bool FileCopy::stopped() const
{
    return (stop && stop->load()) || QThread::currentThread()->isInterruptionRequested();
}

bool FileCopy::sourceValid()
{
    const QFileInfo info(source);
    return info.exists() && info.size() == size && info.lastModified() == modified
        && (!validator || validator(QUrl::fromLocalFile(source), recipe));
}

QString FileCopy::workName() const
{
    QString work = target + appendix;
    for (int n = 0; !appendix.isEmpty() && QFileInfo::exists(work); ++n)
        work = target + appendix + QString::number(n);
    return work;
}

int FileCopy::copyDurably(const QString& work)
{
    IFileCalls& io = calls ? *calls : systemFileCalls();
    // Data written and synced under the work name (a partial file is removed).
    NativeFileCopy native(io);
    if (!native.copy(source, work))
        return native.error();
    const QByteArray from = QFile::encodeName(work);
    const QByteArray to = QFile::encodeName(target);
    if (work != target && io.renameNoReplace(from.constData(), to.constData()) != 0) {
        const int error = errno;
        ::unlink(from.constData());
        return error;
    }
    // The new name is on the device before anyone learns of the file.
    const QByteArray folder = QFile::encodeName(QFileInfo(target).absolutePath());
    if (io.syncFolder(folder.constData()) != 0) {
        const int error = errno;
        ::unlink(to.constData());
        return error;
    }
    return 0;
}

void FileCopy::copy()
{
    qCDebug(lcPipeline) << "E copy" << source << target;
    static thread_local bool lowered = false;
    if (!lowered) {
        // Qt's low thread priority means nothing on Linux: the copy thread lowers its own.
        lowerCurrentThreadPriority();
        lowered = true;
    }

    const auto isStopped = [this] { return stopped(); };
    bool valid = false;
    bool success = false;
    // A shared token is enough to read the source: viewers may keep it open meanwhile.
    FileToken sourceToken;
    if (filePerm)
        sourceToken = waitForToken(filePerm, source, FilePerm::kShared, isStopped);
    if (!filePerm || sourceToken) {
        valid = sourceValid();
        if (!valid)
            emit onFailed(source, recipe);
    }
    FileToken targetToken;
    if (valid && filePerm)
        targetToken = waitForToken(filePerm, target, FilePerm::kExclusive, isStopped);
    if (valid && (!filePerm || targetToken)) {
        const int error = copyDurably(workName());
        if (error == 0 && !sourceValid()) {
            // Changed while we copied: the copy may be torn.
            ::unlink(QFile::encodeName(target).constData());
            valid = false;
            emit onFailed(source, recipe);
        } else if (error != 0 && !sourceValid()) {
            valid = false;
            emit onFailed(source, recipe);
        } else if (error != 0) {
            qCWarning(lcPipeline) << "Can't copy" << source << "to" << target << ":"
                                  << qt_error_string(error);
            const IFileSink::Error obstacle = obstacleFor(error);
            if (obstacle != IFileSink::NoError)
                emit onObstacle(QUrl::fromLocalFile(target), recipe, obstacle);
        }
        success = valid && error == 0;
    }
    emit onCopied(target, recipe, volume, success);
    qCDebug(lcPipeline) << "X copy" << source << target << valid;
    deleteLater();
}

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
    return (stop && stop->load()) || (withdrawn && withdrawn->load())
        || QThread::currentThread()->isInterruptionRequested();
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

IFileCalls& FileCopy::io() const
{
    return calls ? *calls : systemFileCalls();
}

QString FileCopy::folder() const
{
    return QFileInfo(target).absolutePath();
}

int FileCopy::copyInPlace(const QString& work)
{
    IFileCalls& calls = io();
    // Data written and synced under the work name (a partial file is removed).
    NativeFileCopy native(calls);
    if (!native.copy(source, work))
        return native.error();
    const QByteArray from = QFile::encodeName(work);
    const QByteArray to = QFile::encodeName(target);
    if (work != target && calls.renameNoReplace(from.constData(), to.constData()) != 0) {
        const int error = errno;
        ::unlink(from.constData());
        return error;
    }
    return 0;
}

bool FileCopy::place()
{
    qCDebug(lcPipeline) << "E copy" << source << target;
    static thread_local bool lowered = false;
    if (!lowered) {
        // Qt's low thread priority means nothing on Linux: the copy thread lowers its own.
        lowerCurrentThreadPriority();
        lowered = true;
    }

    const auto isStopped = [this] { return stopped(); };
    m_valid = false;
    m_tried = false;
    m_error = 0;
    if (withdrawn && withdrawn->load())
        return false;
    // A shared token is enough to read the source: viewers may keep it open meanwhile.
    if (filePerm)
        m_sourceToken = waitForToken(filePerm, source, FilePerm::kShared, isStopped);
    if (!filePerm || m_sourceToken) {
        m_valid = sourceValid();
        if (!m_valid)
            emit onFailed(source, recipe);
    }
    // Held until the copy is settled: nobody reads a name that may not last.
    if (m_valid && filePerm)
        m_targetToken = waitForToken(filePerm, target, FilePerm::kExclusive, isStopped);
    if (m_valid && (!filePerm || m_targetToken)) {
        m_tried = true;
        m_error = copyInPlace(workName());
    }
    return m_tried && m_error == 0;
}

bool FileCopy::settle(int folderError)
{
    bool success = false;
    if (m_tried) {
        if (m_error == 0 && folderError != 0) {
            // The new name may not survive a crash: the copy did not happen.
            ::unlink(QFile::encodeName(target).constData());
            m_error = folderError;
        }
        if (m_error == 0 && !sourceValid()) {
            // Changed while we copied: the copy may be torn.
            ::unlink(QFile::encodeName(target).constData());
            m_valid = false;
            emit onFailed(source, recipe);
        } else if (m_error != 0 && !sourceValid()) {
            m_valid = false;
            emit onFailed(source, recipe);
        } else if (m_error != 0) {
            qCWarning(lcPipeline) << "Can't copy" << source << "to" << target << ":"
                                  << qt_error_string(m_error);
            const IFileSink::Error obstacle = obstacleFor(m_error);
            if (obstacle != IFileSink::NoError)
                emit onObstacle(QUrl::fromLocalFile(target), recipe, obstacle);
        }
        success = m_valid && m_error == 0;
    }
    qCDebug(lcPipeline) << "X copy" << source << target << m_valid;
    m_targetToken.reset();
    m_sourceToken.reset();
    return success;
}

void FileCopy::copy()
{
    int folderError = 0;
    if (place()) {
        // The new name is on the device before anyone learns of the file.
        if (io().syncFolder(QFile::encodeName(folder()).constData()) != 0)
            folderError = errno;
    }
    const bool success = settle(folderError);
    emit onCopied(target, recipe, volume, success);
    deleteLater();
}

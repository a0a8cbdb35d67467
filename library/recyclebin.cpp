#include "library/recyclebin.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSet>

#include "core/fileservices.h"
#include "core/texthelpers.h"
#include "engine/fileperm.h"
#include "engine/imagelocator.h"
#include "engine/statefile.h"
#include "library/logging.h"
#include "platform/freedesktoptrash.h"

RecycleBin::RecycleBin(QObject* parent)
    : QObject(parent)
{ }

void RecycleBin::setImageService(ImageLocator* locator)
{
    m_imageService = locator;
}

namespace {

// The names in `dir` that start with `prefix`, however many wildcard characters the prefix
// holds: a name filter would take them for patterns and match another picture's files.
QStringList namesStartingWith(const QDir& dir, const QString& prefix)
{
    QString filter = prefix;
    for (QChar& c : filter) {
        if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('[') || c == QLatin1Char(']'))
            c = QLatin1Char('?');
    }
    QStringList names;
    for (const QString& name :
        dir.entryList({ filter + QLatin1Char('*') }, QDir::Files | QDir::Hidden | QDir::System, QDir::Name)) {
        if (name.startsWith(prefix))
            names.append(name);
    }
    return names;
}

} // namespace

QList<QUrl> RecycleBin::sideFiles(const QUrl& url) const
{
    QList<QUrl> files { url };
    const QFileInfo info(url.toLocalFile());
    const QString base = info.completeBaseName();
    const QString state = info.dir().filePath(base + QStringLiteral(".vrxs"));
    if (QFileInfo::exists(state))
        files.append(QUrl::fromLocalFile(state));
    // The copy a save keeps while it writes: left by a save cut short, it would be read
    // as the state of the next picture of that name.
    const QString backup = StateFile::backupPath(state);
    if (QFileInfo::exists(backup))
        files.append(QUrl::fromLocalFile(backup));
    // Damaged state files kept aside for the picture go with it.
    for (const QString& name : namesStartingWith(info.dir(), base + QStringLiteral(".vrxs.unreadable")))
        files.append(QUrl::fromLocalFile(info.dir().filePath(name)));
    QDir low = info.dir();
    if (!m_lowResFolder.isEmpty() && !low.cd(m_lowResFolder))
        return files;
    const QString normal = normalizeUnderscoreName(base);
    QStringList names { base };
    for (const QString& name : { normal, normal + QStringLiteral("_1") }) {
        // A name that is another picture's of this folder names that picture's copies.
        const QString picture = name + QLatin1Char('.') + info.suffix();
        if (!names.contains(name) && !info.dir().exists(picture))
            names.append(name);
    }
    for (const QString& name : qAsConst(names)) {
        const QString copy = low.filePath(name + QStringLiteral(".jpg"));
        if (QFileInfo::exists(copy))
            files.append(QUrl::fromLocalFile(copy));
    }
    return files;
}

bool RecycleBin::recycleImage(const QUrl& url)
{
    const QString path = url.toLocalFile();
    const QDeadlineTimer deadline(m_busyWaitMs);
    FileToken token;
    if (m_filePerm) {
        token = m_filePerm->tryAcquireFileSemaphore(path, FilePerm::kExclusive, 0);
        if (!token) {
            // Viewers let go of a file on this thread: ask the image service to evict it,
            // and keep the event loop turning while waiting, within a bound.
            if (m_imageService)
                emit m_imageService->notifyFileEvictedSignal(url);
            while (!token && !deadline.hasExpired()) {
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
                token = m_filePerm->tryAcquireFileSemaphore(path, FilePerm::kExclusive, 20);
            }
        }
        if (!token) {
            qCWarning(lcLibrary) << "Recycle bin: the file is busy:" << path;
            return false;
        }
    }
    // No one writes the state file while it goes: a save under way (the editor saves the
    // picture it leaves on a worker) ends first, so the bin gets its newest state, and none
    // is written beside the picture once it is gone.
    const QFileInfo info(path);
    QLockFile stateLock(
        StateFile::lockPath(info.dir().filePath(info.completeBaseName() + QStringLiteral(".vrxs"))));
    bool locked = stateLock.tryLock(0);
    while (!locked && stateLock.error() == QLockFile::LockFailedError && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
        locked = stateLock.tryLock(20);
    }
    if (!locked && stateLock.error() == QLockFile::LockFailedError) {
        // (A folder where no lock can be made has no writer that takes one either.)
        qCWarning(lcLibrary) << "Recycle bin: the state file is busy:" << path;
        return false;
    }
    const QList<QUrl> files = sideFiles(url);
    // The picture first: its state file and copies follow it only once it is in the bin, so
    // a picture that stays (it could not be moved) keeps its edits beside it. All of them
    // go, or none: should one of its files stay, the picture and the files that went come
    // back, or the picture's edits would be left behind for the next picture of its name.
    FreedesktopTrash trash;
    QList<QPair<QString, QString>> moved;
    for (const QUrl& file : files) {
        const QString original = file.toLocalFile();
        QString inTrash;
        if (trash.moveToTrash(original, &inTrash)) {
            moved.append({ original, inTrash });
            continue;
        }
        qCWarning(lcLibrary) << "Recycle bin: could not be moved:" << original;
        for (int i = moved.size() - 1; i >= 0; --i)
            trash.restore(moved.at(i).first, moved.at(i).second);
        return false;
    }
    if (m_imageService)
        m_imageService->forgetKeptEdits(url);
    return true;
}

bool RecycleBin::recycle(const QUrl& url)
{
    return deleteToRecycleBin(url);
}

#include "library/recyclebin.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include "core/fileservices.h"
#include "core/texthelpers.h"
#include "engine/fileperm.h"
#include "engine/imagelocator.h"
#include "library/logging.h"

RecycleBin::RecycleBin(QObject* parent)
    : QObject(parent)
{ }

void RecycleBin::setImageService(ImageLocator* locator)
{
    m_imageService = locator;
}

QList<QUrl> RecycleBin::sideFiles(const QUrl& url) const
{
    QList<QUrl> files { url };
    const QFileInfo info(url.toLocalFile());
    const QString base = info.completeBaseName();
    const QString state = info.dir().filePath(base + QStringLiteral(".vrxs"));
    if (QFileInfo::exists(state))
        files.append(QUrl::fromLocalFile(state));
    // Damaged state files kept aside for the picture go with it.
    const QString unreadable = base + QStringLiteral(".vrxs.unreadable");
    for (const QString& name : info.dir().entryList({ unreadable, unreadable + QLatin1Char('*') },
             QDir::Files | QDir::Hidden | QDir::System, QDir::Name))
        files.append(QUrl::fromLocalFile(info.dir().filePath(name)));
    QDir low = info.dir();
    if (!m_lowResFolder.isEmpty() && !low.cd(m_lowResFolder))
        return files;
    const QString normal = normalizeUnderscoreName(base);
    QStringList names { base };
    for (const QString& name : { normal, normal + QStringLiteral("_1") }) {
        if (!names.contains(name))
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
    FileToken token;
    if (m_filePerm) {
        const QString path = url.toLocalFile();
        token = m_filePerm->tryAcquireFileSemaphore(path, FilePerm::kExclusive, 0);
        if (!token) {
            // Viewers let go of a file on this thread: ask the image service to evict it,
            // and keep the event loop turning while waiting, within a bound.
            if (m_imageService)
                emit m_imageService->notifyFileEvictedSignal(url);
            const QDeadlineTimer deadline(m_busyWaitMs);
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
    const QList<QUrl> files = sideFiles(url);
    // The picture first: its state file and copies follow it only once it is in the bin, so
    // a picture that stays (it could not be moved) keeps its edits beside it.
    if (!deleteToRecycleBin(files.first())) {
        qCWarning(lcLibrary) << "Recycle bin: the picture could not be moved:" << url.toLocalFile();
        return false;
    }
    return deleteToRecycleBin(files.mid(1));
}

bool RecycleBin::recycle(const QUrl& url)
{
    return deleteToRecycleBin(url);
}

#include "core/fileservices.h"
#include "core/logging.h"

#include <QDebug>
#include <QFileDevice>

#include "platform/filesync.h"
#include "platform/freedesktoptrash.h"
#include "platform/hiddenattribute.h"
#include "platform/nativefilecopy.h"

bool deleteToRecycleBin(const QList<QUrl>& urls)
{
    FreedesktopTrash trash;
    bool all = true;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) {
            qCDebug(lcCore) << "Not a local file:" << url;
            all = false;
            continue;
        }
        const QString path = url.toLocalFile();
        if (!trash.moveToTrash(path)) {
            qCDebug(lcCore) << "Can't move to trash:" << path;
            all = false;
        }
    }
    return all;
}

bool deleteToRecycleBin(const QUrl& url)
{
    return deleteToRecycleBin(QList<QUrl> { url });
}

bool copyFileNative(const QString& source, const QString& target)
{
    NativeFileCopy copy;
    return copy.copy(source, target);
}

bool flushToDisk(QFileDevice& file)
{
    const bool flushed = file.flush();
    const int handle = file.handle();
    const bool synced = handle >= 0 && syncDescriptor(handle);
    qCDebug(lcCore) << "FlushFileBuffers" << handle << synced;
    return flushed && synced;
}

bool flushFolderToDisk(const QString& folder)
{
    return syncFolder(folder);
}

bool setNativeFileAttributes(const QString& path)
{
    return setHiddenAttribute(path);
}

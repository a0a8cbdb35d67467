#include "engine/iimageservice.h"

#include <QDir>
#include <QFileInfo>

QUrl IImageService::fileKey(const QUrl& url)
{
    if (!url.isLocalFile())
        return url;
    const QString path = url.toLocalFile();
    return QUrl::fromLocalFile(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
}

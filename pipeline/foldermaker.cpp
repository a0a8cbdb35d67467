#include "pipeline/foldermaker.h"

#include <QDir>
#include <QFileInfo>

bool makeFolder(const QString& folder)
{
    const QString absolute = QDir::cleanPath(QDir(folder).absolutePath());
    if (QFileInfo(absolute).isDir())
        return true;
    // From the root: the components after the leading empty one(s) of "/a/b".
    return QDir::root().mkpath(absolute) && QFileInfo(absolute).isDir();
}

bool makeFolderOf(const QString& filePath)
{
    return makeFolder(QFileInfo(filePath).absolutePath());
}

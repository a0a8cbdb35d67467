#include "support/filetree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace ostra::test {

bool writeTreeFile(const QString& path, const QByteArray& content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace ostra::test

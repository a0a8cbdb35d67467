#include "support/filetree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace ostra::test {

TempTree::TempTree()
    : m_base(QDir(m_dir.path()).canonicalPath())
{ }

bool writeTreeFile(const QString& path, const QByteArray& content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace ostra::test

#include "engine/streamsource.h"
#include "engine/logging.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSet>

QString StreamSource::canonicalPath(const QString& path, bool* circular)
{
    if (circular)
        *circular = false;
    QString current = QFileInfo(path).canonicalFilePath();
    if (!current.isEmpty() && !QFileInfo(current).isSymLink())
        return current;

    // No canonical form: the file is missing or a link leads nowhere or round in a
    // circle. Follow the links one step at a time to tell these apart.
    QSet<QString> visited;
    current = QFileInfo(path).absoluteFilePath();
    while (QFileInfo(current).isSymLink()) {
        if (visited.contains(current)) {
            qCWarning(lcEngine) << "Circular symbolic link offered" << path;
            if (circular)
                *circular = true;
            return QString();
        }
        visited.insert(current);
        current = QFileInfo(current).symLinkTarget();
    }
    const QString canonical = QFileInfo(current).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(current) : canonical;
}

StreamSource::StreamSource(const QUrl& url)
    : StreamPart(QString())
    , m_url(url)
{
    setFileName(QDir::toNativeSeparators(canonicalPath(url.toLocalFile(), &m_circular)));
}

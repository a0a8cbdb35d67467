#include "engine/unreadablewatch.h"

#include "engine/iresolver.h"

#include <QFileInfo>
#include <QTimer>

namespace {

// Values of the last indexing result that the watch needs.
constexpr int kRowInvalid = IResolver::Invalid;
constexpr int kRowFileSize = IResolver::FileSize;
constexpr int kWatchDelayMs = 5000;

} // namespace

UnreadableWatch::UnreadableWatch(RowLookup rowOf, QObject* parent)
    : QObject(parent)
    , m_rowOf(std::move(rowOf))
    , m_watcher(new QFileSystemWatcher(this))
{
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &UnreadableWatch::onPathContentsUpdated);
}

bool UnreadableWatch::isWatched(const QString& path) const
{
    return m_watcher->files().contains(path);
}

void UnreadableWatch::noteIndexed(const QString& path, const VrxMetadata& record)
{
    if (record.invalid) {
        if (!record.incompatible && record.frameCount > 1 && !record.compressed) {
            rememberForRetry(record);
        } else if (!path.isEmpty()) {
            if (!m_watcher->files().contains(path))
                m_watcher->addPath(path);
            if (!m_shuffleArmed) {
                m_shuffleArmed = true;
                QTimer::singleShot(kWatchDelayMs, this, &UnreadableWatch::shuffleFiles);
            }
        }
    } else if (!path.isEmpty() && m_watcher->files().contains(path)) {
        m_watcher->removePath(path);
    }
}

void UnreadableWatch::onPathContentsUpdated(QString path)
{
    emit changed(QUrl::fromLocalFile(path));
}

void UnreadableWatch::shuffleFiles()
{
    m_shuffleArmed = false;
    const QStringList paths = m_watcher->files();
    for (const QString& path : paths) {
        const QUrl url = QUrl::fromLocalFile(path);
        const qint64 size = QFileInfo(path).size();
        const QMap<int, QVariant> row = m_rowOf(url);
        const QVariant known = row.value(kRowFileSize);
        // A file that stays as it was indexed (not a picture at all, say) is not read again
        // until the file system reports a change.
        if (!known.isValid() || known.toLongLong() != size)
            emit changed(url);
    }
}

void UnreadableWatch::rememberForRetry(const VrxMetadata& record)
{
    for (VrxMetadata& known : m_retryList) {
        if (known.location == record.location) {
            known = record;
            return;
        }
    }
    m_retryList.append(record);
}

QList<VrxMetadata> UnreadableWatch::takeRetryList()
{
    QList<VrxMetadata> list;
    list.swap(m_retryList);
    return list;
}

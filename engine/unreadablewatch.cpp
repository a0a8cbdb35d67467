#include "engine/unreadablewatch.h"

#include "engine/iresolver.h"

#include "core/replytarget.h"

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
    , m_watcher(new ThreadedWatcher(this))
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    connect(m_watcher, &ThreadedWatcher::fileChanged, this, &UnreadableWatch::onPathContentsUpdated);
}

UnreadableWatch::~UnreadableWatch()
{
    m_replies->close();
    m_sizes.leave(0);
}

bool UnreadableWatch::isWatched(const QString& path) const
{
    return m_watcher->watches(path);
}

void UnreadableWatch::noteIndexed(const QString& path, const VrxMetadata& record)
{
    if (record.invalid) {
        if (!record.incompatible && record.frameCount > 1 && !record.compressed) {
            rememberForRetry(record);
        } else if (!path.isEmpty()) {
            m_watcher->addPath(path);
            if (!m_shuffleArmed) {
                m_shuffleArmed = true;
                QTimer::singleShot(kWatchDelayMs, this, &UnreadableWatch::shuffleFiles);
            }
        }
    } else if (!path.isEmpty() && m_watcher->watches(path)) {
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
    const QStringList paths = m_watcher->paths();
    if (paths.isEmpty())
        return;
    // The files may be on a drive that hangs: their sizes are looked at off this thread.
    ++m_looking;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_sizes.start([this, replies, paths] {
        QList<qint64> sizes;
        sizes.reserve(paths.size());
        for (const QString& path : paths)
            sizes.append(QFileInfo(path).size());
        replies->post([this, paths, sizes] { compareSizes(paths, sizes); });
    });
}

void UnreadableWatch::compareSizes(const QStringList& paths, const QList<qint64>& sizes)
{
    --m_looking;
    for (int i = 0; i < paths.size(); ++i) {
        const QString& path = paths.at(i);
        if (!m_watcher->watches(path))
            continue; // read well since
        const QUrl url = QUrl::fromLocalFile(path);
        const QMap<int, QVariant> row = m_rowOf(url);
        const QVariant known = row.value(kRowFileSize);
        // A file that stays as it was indexed (not a picture at all, say) is not read again
        // until the file system reports a change.
        if (!known.isValid() || known.toLongLong() != sizes.at(i))
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

#pragma once

#include "engine/vrxmetadata.h"

#include "core/leavableworker.h"
#include "core/threadedwatcher.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>
#include <memory>

class ReplyTarget;

// Watches the files the image service found unreadable (a copy still being written, a
// file locked elsewhere): when the file system reports a change, and a while after each
// unreadable result for files whose size differs from the one indexed, it asks for the
// file to be read again. A file that stays as indexed is not read again.
class UnreadableWatch : public QObject
{
    Q_OBJECT
public:
    // The gallery row last indexed for a file (empty when none).
    using RowLookup = std::function<QMap<int, QVariant>(const QUrl&)>;

    explicit UnreadableWatch(RowLookup rowOf, QObject* parent = nullptr);
    ~UnreadableWatch() override;

    bool isWatched(const QString& path) const;
    // Starts or ends the watch of the file at `path` after an indexing result.
    void noteIndexed(const QString& path, const VrxMetadata& record);
    // Pictures to offer to compression again (a compatible multi-frame file found
    // unreadable, or whose compression failed): remembered once each, taken all at once.
    void rememberForRetry(const VrxMetadata& record);
    QList<VrxMetadata> takeRetryList();
    int retryCount() const { return m_retryList.size(); }
    // The sizes of the watched files are being looked at (off this thread).
    bool isLooking() const { return m_looking > 0; }

signals:
    // The file at `location` is to be read again.
    void changed(QUrl location);

private slots:
    void onPathContentsUpdated(QString path);
    void shuffleFiles();

private:
    void compareSizes(const QStringList& paths, const QList<qint64>& sizes);

    RowLookup m_rowOf;
    ThreadedWatcher* m_watcher;
    bool m_shuffleArmed = false;
    QList<VrxMetadata> m_retryList;
    int m_looking = 0;
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_sizes;
};

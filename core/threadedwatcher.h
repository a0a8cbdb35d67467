#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QThread;
class ReplyTarget;

// A file system watcher whose calls on the disk run on a thread of its own: adding a watch
// resolves its path, which hangs on a dead network mount or a disk that sleeps. The paths
// are asked for at once and answered later (added); the changes come back as queued
// signals. Paths asked for count as watched until the answer says otherwise, and a path
// the system stopped watching (it went) no longer counts once its change is told. Lives
// on its owner's thread; the watching thread starts with the first path and is never
// waited for: one held on the disk ends on its own.
class ThreadedWatcher : public QObject
{
    Q_OBJECT
public:
    explicit ThreadedWatcher(QObject* parent = nullptr);
    ~ThreadedWatcher() override;

    // Asks for a watch on the path (a folder or a file); false at once when it is watched or
    // asked for already, or empty.
    bool addPath(const QString& path);
    void removePath(const QString& path);
    void removePaths(const QStringList& paths);
    // The path is watched, or asked for and not refused yet.
    bool watches(const QString& path) const { return m_paths.contains(path); }
    QStringList paths() const { return m_paths.keys(); }
    bool isEmpty() const { return m_paths.isEmpty(); }

signals:
    // The answer to addPath: false when the system refused the watch (the path is not
    // there, or the limit on watches is reached). Not told for a path removed meanwhile.
    void added(const QString& path, bool ok);
    void directoryChanged(const QString& path);
    void fileChanged(const QString& path);

private:
    struct Side;
    void start();
    void onAdded(const QString& path, quint64 serial, bool ok);
    void onChanged(const QString& path, quint64 serial, bool stillWatched, bool directory);

    // The paths asked for, by the serial number of their latest ask.
    QHash<QString, quint64> m_paths;
    quint64 m_serial = 0;
    // Watches asked for and not answered yet.
    int m_asking = 0;
    QThread* m_thread = nullptr;
    Side* m_side = nullptr;
    std::shared_ptr<ReplyTarget> m_replies;
};

#pragma once

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

// A held share of a file's lock. The units go back when the last copy is dropped;
// an empty pointer means the file was busy and nothing is held.
using FileToken = std::shared_ptr<QSemaphoreReleaser>;

// Reader-writer lock per local file, shared by every part of the program that reads,
// replaces or removes pictures. Readers hold one unit, a writer holds all of them.
class FilePerm : public QObject
{
    Q_OBJECT
public:
    static constexpr int kShared = 1;
    static constexpr int kExclusive = 65535;
    // How long a request made on the GUI thread waits before the file counts as busy.
    static constexpr int kDefaultGuiWaitMs = 3000;

    explicit FilePerm(QObject* parent = nullptr);
    ~FilePerm() override;

    // The one key under which a file is locked, whatever form the caller holds: a local
    // path in any spelling (relative, "..", doubled separators, through a symbolic link)
    // or a file URL in text form. Every caller goes through it, so two spellings of one
    // file always meet on one lock.
    static QString lockKey(const QString& pathOrUrl);
    static QString lockKey(const QUrl& url);

    // Acquires `units` units of the file's semaphore and returns a token holding them.
    // Worker threads wait as long as needed. On the GUI thread the wait is bounded (a
    // holder may need the GUI thread to let go), and an empty token reports the file busy.
    FileToken acquireFileSemaphore(const QString& path, int units);
    FileToken acquireFileSemaphore(const QUrl& url, int units);

    // The same with an explicit bound in milliseconds on any thread (negative: no bound).
    FileToken tryAcquireFileSemaphore(const QString& path, int units, int timeoutMs);

    // Waits for the units like a worker thread, but gives up (empty token) as soon as
    // `stopped` answers true; it is asked every `pollMs` while the file is held elsewhere.
    FileToken acquireUnlessStopped(
        const QUrl& url, int units, const std::function<bool()>& stopped, int pollMs = kStopPollMs);
    static constexpr int kStopPollMs = 100;

    // Bound for requests made on the GUI thread.
    void setGuiWaitLimit(int ms) { m_guiWaitMs = ms; }
    int guiWaitLimit() const { return m_guiWaitMs; }

    // Units currently free for the file (65535 when nobody holds it).
    int available(const QString& path);
    // Files whose lock is held or waited for now: a file's lock goes once its last token
    // is dropped and nobody waits for it, so the registry does not grow with every file
    // the process ever read.
    int lockCount() const;

    struct Registry;

private:
    std::shared_ptr<QSemaphore> semaphoreFor(const QString& key);
    FileToken acquire(const QString& key, int units, int timeoutMs);
    FileToken hold(const QString& key, std::shared_ptr<QSemaphore> semaphore, int units);

    // Shared with the tokens, which may outlive this object.
    std::shared_ptr<Registry> m_registry;
    int m_guiWaitMs = kDefaultGuiWaitMs;
};

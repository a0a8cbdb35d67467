#pragma once

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class ReplyTarget;

// A held share of a file's lock. The units go back when the last copy is dropped;
// an empty pointer means the file was busy and nothing is held.
using FileToken = std::shared_ptr<QSemaphoreReleaser>;

// Reader-writer lock per local file, shared by every part of the program that reads,
// replaces or removes pictures. Readers hold one unit, a writer holds all of them.
// A file's key (its canonical path) is found on the calling thread by worker threads; for
// a request made on the GUI thread it is found on a thread of its own, which the request
// waits for only briefly: a file on a drive that does not answer counts as busy, and
// keyResolved tells when its key is in, so that the request can be made again.
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

    // How long a request made on the GUI thread waits for a file's key the first time it
    // is asked for; a key still being looked for when asked again is not waited for.
    static constexpr int kDefaultGuiKeyWaitMs = 200;
    void setGuiKeyWait(int ms) { m_guiKeyWaitMs = ms; }
    // At most this many keys are looked for at once for the GUI thread (each lookup that
    // hangs holds a thread); a file asked for beyond that counts as busy.
    static constexpr int kMaxKeyLookups = 16;
    // Finds a file's key; lockKey unless replaced (a drive that hangs, in tests).
    using KeyFunction = std::function<QString(const QString&)>;
    void setKeyFunction(KeyFunction function);
    // Keys being looked for on behalf of the GUI thread.
    int keyLookups() const;

    // Units currently free for the file (65535 when nobody holds it).
    int available(const QString& path);
    // Files whose lock is held or waited for now: a file's lock goes once its last token
    // is dropped and nobody waits for it, so the registry does not grow with every file
    // the process ever read.
    int lockCount() const;

    struct Registry;

signals:
    // The key of a file that a request made on the GUI thread gave up waiting for.
    void keyResolved(const QString& pathOrUrl, const QString& key);

private:
    // The file's key, found as fits the calling thread; empty when it is not in yet.
    QString keyOf(const QString& pathOrUrl);
    QString keyOffThread(const QString& pathOrUrl);
    std::shared_ptr<QSemaphore> semaphoreFor(const QString& key);
    FileToken acquire(const QString& key, int units, int timeoutMs);
    FileToken hold(const QString& key, std::shared_ptr<QSemaphore> semaphore, int units);

    // Shared with the tokens, which may outlive this object.
    std::shared_ptr<Registry> m_registry;
    std::shared_ptr<ReplyTarget> m_replies;
    KeyFunction m_keyFunction;
    int m_guiWaitMs = kDefaultGuiWaitMs;
    int m_guiKeyWaitMs = kDefaultGuiKeyWaitMs;
};

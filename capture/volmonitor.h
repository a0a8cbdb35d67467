#pragma once

#include "capture/capturelistener.h"
#include "capture/captureproxy.h"
#include "capture/sessionproxy.h"

#include <QDir>
#include <QHash>
#include <QPointer>
#include <QStorageInfo>

#include <functional>
#include <memory>

#include "capture/volumes.h"
#include "core/leavableworker.h"
#include "platform/confinedfolder.h"
#include "platform/ifilecalls.h"

class ReplyTarget;

// Finds cameras connected as USB mass storage: their volumes are labelled
// "<prefix><H|C|S>D<serial>" and grouped by prefix and serial into one device (transport
// 1). A group is announced once a read-only H or C volume holding the marker folder and
// a writable S volume are there. A label-less volume joins a group only when its serial
// equals the group's (0, unknown, never matches). A group's volumes are checked (read
// again, the marker folder looked for) on a thread of the monitor's own, one check after
// another: a slow or hung card never holds the GUI thread. The group is announced, updated
// or lost when its latest check is in.
class VolMonitor : public CaptureListener, public CaptureProxy
{
    Q_OBJECT
    Q_PROPERTY(Volumes* volumes READ volumes WRITE setVolumes)
    Q_PROPERTY(QString marker READ marker WRITE setMarker)
    Q_PROPERTY(QString naming READ naming WRITE setNaming)
public:
    enum Part { H = 0, C = 1, S = 2 };

    struct Link
    {
        QString prefix;
        QString serial;
        int announced = 0;
        int state = 0; // 0 not usable, 1 usable with a writable S, 2 usable without it
        QStorageInfo parts[3];
        int markerPart = -1;
        quint32 driveValue = 0;
    };

    // What the monitor reads of a volume. The default takes it from QStorageInfo; tests
    // give labels and roots of their own (containers have no udev to label volumes).
    struct Facts
    {
        QString label;
        QString rootPath;
        bool usable = false; // valid and ready
        bool readOnly = true;
    };
    using FactsReader = std::function<Facts(const QStorageInfo&)>;

    explicit VolMonitor(QObject* parent = nullptr);
    // A check under way is left to end on its own, telling no one.
    ~VolMonitor() override;

    Volumes* volumes() const { return m_volumes; }
    QString marker() const { return m_marker; }
    QString naming() const { return m_naming; }
    void setFactsReader(FactsReader reader) { m_factsOf = std::move(reader); }
    Link link(const QString& key) const { return m_groups.value(key); }
    // The root of the group's S volume while it is mounted; empty once it is gone.
    QString writableRoot(const QString& key) const;
    // Checks of groups are under way or wait.
    bool isChecking() const { return m_checking > 0; }

    void start() override { }
    SessionProxy* createSession(CaptureRequest request, SessionListener* listener) override;
    void stop() override { }

    class PassiveSessionProxy;

public slots:
    void setVolumes(Volumes* volumes);
    void onMountedChanged(QList<QStorageInfo> list, bool leap);
    void onVolumeAdded(QStorageInfo volume);
    void onVolumeUpdated(QStorageInfo oldInfo, QStorageInfo volume);
    void onVolumeRemoved(QStorageInfo volume);
    void setMarker(QString marker) { m_marker = marker; }
    void setNaming(QString naming) { m_naming = naming; }
    // Ejects every volume of the group off the GUI thread; ejectFinished tells the end.
    void eject(QString deviceId);

signals:
    // The eject of a group is over: `ejected` when every volume of it was ejected.
    void ejectFinished(QString deviceId, bool ejected);

private:
    void onVolumeEjected(QStorageInfo volume, bool ejected);

    enum Operation { Add, Update, Remove };
    void classify(const QStorageInfo& volume, Operation operation);
    // What a check of a group found.
    struct Check
    {
        QStorageInfo parts[3]; // read again
        int markerPart = -1;
        bool writable = false;
    };
    // Checks the group's volumes on the monitor's thread, then settles its state.
    void refresh(const QString& key);
    // Reads the volumes again and looks for the marker (any thread).
    static Check check(const QStorageInfo (&parts)[3], const FactsReader& reader, const QString& marker);
    void settle(const QString& key, quint64 generation, const Check& check);
    Facts factsOf(const QStorageInfo& volume) const;
    static Facts factsWith(const FactsReader& reader, const QStorageInfo& volume);

    QPointer<Volumes> m_volumes;
    QList<QMetaObject::Connection> m_connections;
    FactsReader m_factsOf;
    QHash<QString, QString> m_firstLabel;
    QString m_marker = QStringLiteral("queltcal");
    QString m_naming = QStringLiteral("%1 (%2)");
    QHash<QString, Link> m_groups;
    QHash<QString, quint64> m_generations; // of each group's latest change
    int m_checking = 0;
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_checks;
    struct Eject
    {
        QStringList roots; // volumes still being ejected
        bool ejected = true;
    };
    QHash<QString, Eject> m_ejects; // by device id
};

// The session of a volume group: lists the picture volume's files as local files, and
// retires files by writing a 48-byte record under ".QTrash" on the S volume. The trash
// folder's preparation, the listing and the records (each forced to the card) run one
// after another on a thread of the session's own, so a slow or hung card never holds the
// GUI thread, not even while the session opens; their reports come back queued, and none
// once the session is gone.
class VolMonitor::PassiveSessionProxy : public SessionProxy
{
public:
    // `link` must have its marker part. The records' syncs go through `calls`, which must
    // outlive every record under way.
    PassiveSessionProxy(const Link& link, const Facts& picture, const Facts& writable,
        const CaptureRequest& request, SessionListener* listener, IFileCalls& calls = systemFileCalls());
    // Waits kLeaveMs at most for a listing or a record under way, then leaves it to end on
    // its own.
    ~PassiveSessionProxy() override;

    static constexpr int kLeaveMs = 1000;

    void start() override;
    void transfer(QUrl, Recipe) override { }
    void fetchPreset(QString, QString, uint32_t) override { }
    void cancelPendingRequests() override { }
    int capacity() override { return 0; }
    void remove(QString relativePath) override;
    void fetchVideo(VideosModel::DownloadRequest) override { }
    bool isDevice() override { return true; }
    bool hasExtension() override { return false; }
    void runExtension() override { }

    // Asked on the GUI thread before each listing and record: whether the S volume at this
    // root is still plugged in (the monitor's view of the group).
    void setPresence(std::function<bool(const QString& root)> present) { m_present = std::move(present); }
    // Whether a listing or a record is under way or waits.
    bool busy() const { return m_work.busy(); }

    // The record of one retired file (48 bytes, six big-endian signed 64-bit values).
    static QByteArray trashRecord(const QString& relativePath, const QFileInfo& file);
    static quint32 crc32(const QByteArray& bytes);

private:
    // Whether the S volume is there as the monitor sees it (GUI thread).
    bool writablePresent() const;
    // What the session's thread learnt of the S volume and of the picture volume when the
    // session opened; read and written by the session's tasks only, which run one after
    // another.
    struct Trash
    {
        quint64 device = 0; // of the S volume; 0 while there is no trash folder
        quint64 picture = 0; // of the picture volume; 0 when it was not there
    };
    // The trash folder of the S volume, when that volume is still the one the session
    // was opened with and ".QTrash" is a plain folder on it (any thread).
    static ConfinedFolder openTrash(const QString& root, quint64 device, bool create, QString* error);

    // Size and last modification (ms since 1970, UTC) of a listed file.
    using Stamp = QPair<qint64, qint64>;
    static Stamp stampOf(const QFileInfo& file);

    Link m_link;
    QDir m_root;
    // The files as the listing found them, by relative path (GUI thread): a file is
    // retired only while it is still the one that was listed, and so copied.
    std::shared_ptr<QHash<QString, Stamp>> m_listed = std::make_shared<QHash<QString, Stamp>>();
    bool m_writable = false;
    QString m_writableRoot;
    std::shared_ptr<Trash> m_trashState = std::make_shared<Trash>();
    std::function<bool(const QString&)> m_present;
    QStringList m_reserved;
    SessionListener* m_listener;
    IFileCalls& m_calls;
    // Dropped with the proxy: a report still queued then is not delivered.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_work;
};

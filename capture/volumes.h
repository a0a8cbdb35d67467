#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QStorageInfo>

#include <memory>

#include "core/leavableworker.h"

class IMountSource;
class IVolumeEjector;
class ReplyTarget;

// The mounted volumes, followed live: volumes that arrive, change, are about to go (our
// own eject) and are gone. Every change of the mount table leads to one full comparison
// with the table of volumes kept by mount point; a different device at the same mount
// point is a removal and then an addition. Each entry keeps the volume's serial number
// (a FAT file system's UUID, else 0). The table is read on a thread of its own (reading
// it asks every mounted file system, and one that hangs, a network share gone away, would
// hold the GUI thread) and compared here; changes that come during a read lead to one more
// read after it. The first read starts with the object and tells every volume present as
// added; until it is in, the list is empty and `ready` false: whoever needs the list waits
// for readyChanged.
class Volumes : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<QStorageInfo> mounted READ mounted NOTIFY mountedChanged)
    Q_PROPERTY(bool ready READ ready NOTIFY readyChanged)
public:
    // Watches this process's mount table and ejects through udisks2.
    explicit Volumes(QObject* parent = nullptr);
    // Takes ownership of both.
    Volumes(IMountSource* source, IVolumeEjector* ejector, QObject* parent = nullptr);
    // An eject or a read of the table under way is waited for kLeaveMs at most, then left
    // to end on its own: it keeps the ejector or the source, and its end is told no one.
    ~Volumes() override;

    static constexpr int kLeaveMs = 1000;

    QList<QStorageInfo> mounted() const { return m_mounted; }
    // The first read of the table is in (mounted lists the volumes present at start).
    bool ready() const { return m_ready; }

    // The serial number kept for the volume's mount point; 0 when unknown. 0 never
    // identifies a volume: compare serials with sameSerial.
    Q_INVOKABLE quint32 driveValue(const QStorageInfo& volume) const;
    static bool sameSerial(quint32 a, quint32 b) { return a != 0 && a == b; }

    // Unmounts every file system of the volume's drive (volumeRemoving comes as each of
    // ours is unmounted) and powers the drive off, on a thread of its own: the calls may
    // wait for minutes while the drive takes its pending writes. False when the volume
    // has no block device; else true, and volumeEjected tells the result later. Failures
    // of the steps are logged, and the removal shows up in the mount table.
    Q_INVOKABLE bool ejectVolume(const QStorageInfo& volume);

public slots:
    // Takes the list of mounted volumes again without comparing (on the calling thread).
    void queryAll();

signals:
    void mountedChanged(QList<QStorageInfo> mounted, bool leap);
    void volumeAdded(QStorageInfo volume);
    void volumeUpdated(QStorageInfo oldInfo, QStorageInfo newInfo);
    void volumeRemoving(QStorageInfo volume);
    void volumeRemoved(QStorageInfo volume);
    // An eject that ejectVolume started is over; `ejected` false when it failed.
    void volumeEjected(QStorageInfo volume, bool ejected);
    // The first read is in; its volumes were told as added just before.
    void readyChanged();

private:
    struct Entry
    {
        QStorageInfo info;
        quint32 serial = 0;
    };
    using Table = QHash<QString, Entry>;

    // The mount table changed: reads it again, or once more after the read under way.
    void readAgain();
    void compare(const QList<QStorageInfo>& mounted, const QHash<QString, quint32>& serials);
    static Table tableOf(const QList<QStorageInfo>& volumes);
    // Whether the volume needs its serial read: new at its mount point, or changed.
    static bool fresh(const Table& table, const QStorageInfo& volume);

    std::shared_ptr<IMountSource> m_source; // shared with the read under way
    LeavableWorker m_reads;
    bool m_reading = false;
    bool m_ready = false;
    bool m_readAgain = false;
    std::shared_ptr<IVolumeEjector> m_ejector; // shared with the eject under way
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_ejects; // one eject at a time, off the GUI thread
    QList<QStorageInfo> m_mounted;
    Table m_table;
};

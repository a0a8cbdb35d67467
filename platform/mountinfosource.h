#pragma once

#include <QSocketNotifier>
#include <QString>

#include "platform/imountsource.h"

// The mount table of this process: QStorageInfo's list, with changes noticed through
// /proc/self/mountinfo, which the kernel marks with a priority event on every mount,
// unmount and remount. Serial numbers come from the file system UUIDs that udev links
// under /dev/disk/by-uuid.
class MountInfoSource : public IMountSource
{
    Q_OBJECT
public:
    explicit MountInfoSource(QObject* parent = nullptr);
    // `byUuidFolder` stands in for /dev/disk/by-uuid.
    MountInfoSource(const QString& byUuidFolder, QObject* parent);
    ~MountInfoSource() override;

    QList<QStorageInfo> mountedVolumes() override;
    quint32 volumeSerial(const QStorageInfo& volume) override;
    // The serial number of the file system on a block device (0 when unknown).
    quint32 volumeSerialOfDevice(const QByteArray& device) const;

    bool watching() const { return m_notifier != nullptr; }

private:
    void onTableEvent();

    QString m_byUuid;
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
};

// The serial number that a FAT file system's UUID spells ("ABCD-1234" gives 0xABCD1234),
// 0 for any other UUID.
quint32 fatSerialFromUuid(const QString& uuid);

#pragma once

#include <QList>
#include <QObject>
#include <QStorageInfo>

// The mounted file systems and word of their changes. The real source reads the mount
// table; tests announce the changes they make.
class IMountSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual QList<QStorageInfo> mountedVolumes() = 0;
    // The volume serial number of a mounted file system, 0 when it has none or it is unknown.
    virtual quint32 volumeSerial(const QStorageInfo& volume) = 0;

signals:
    // Something in the mount table changed (a mount, an unmount, a remount).
    void changed();
};

#pragma once

// Volumes that stand for a camera connected as USB storage: containers cannot label
// volumes, so mount points of this machine take the camera's labels and folders.

#include "capture/volmonitor.h"
#include "capture/volumes.h"
#include "platform/imountsource.h"
#include "platform/ivolumeejector.h"

#include <QHash>

namespace ostra::test {

// Announces the volumes listed in `list`; serials by mount point.
class FakeMountSource : public IMountSource
{
public:
    QList<QStorageInfo> list;
    QHash<QString, quint32> serials;
    QList<QStorageInfo> mountedVolumes() override { return list; }
    quint32 volumeSerial(const QStorageInfo& v) override { return serials.value(v.rootPath()); }
};

class NoEjector : public IVolumeEjector
{
public:
    bool eject(const QByteArray&, const std::function<void(const QString&)>&) override { return false; }
};

// Mounts the H, C and S folders of a tree made by `vrxgen camera --usb` in `folder` as the
// camera's volumes (read-only H and C, writable S) and returns the device id.
inline QString plugCameraVolumes(
    VolMonitor& monitor, Volumes& volumes, FakeMountSource& mounts, const QString& folder)
{
    const char* points[] = { "/proc", "/sys", "/dev" };
    const char* parts[] = { "Z40HD0042", "Z40CD0042", "Z40SD0042" };
    QHash<QString, VolMonitor::Facts> facts;
    for (int i = 0; i < 3; ++i) {
        mounts.list << QStorageInfo(QString::fromLatin1(points[i]));
        facts[QString::fromLatin1(points[i])]
            = { QString::fromLatin1(parts[i]), folder + "/" + parts[i], true, i != 2 };
    }
    monitor.setFactsReader([facts](const QStorageInfo& v) { return facts.value(v.rootPath()); });
    monitor.setVolumes(&volumes);
    emit mounts.changed();
    return QStringLiteral("V$Z40$0042");
}

} // namespace ostra::test

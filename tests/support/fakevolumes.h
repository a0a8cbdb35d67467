#pragma once

// Volumes that stand for a camera connected as USB storage: containers cannot label
// volumes, so mount points of this machine take the camera's labels and folders.

#include "capture/volmonitor.h"
#include "capture/volumes.h"
#include "platform/imountsource.h"
#include "platform/ivolumeejector.h"

#include <QEventLoop>
#include <QHash>
#include <QTimer>

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

// Announces a change of the mount table and waits until the volumes have read it again
// (off the GUI thread) and told what changed; false when they do not.
inline bool announceChange(FakeMountSource& source, Volumes& volumes)
{
    QEventLoop loop;
    bool read = false;
    const QMetaObject::Connection done = QObject::connect(&volumes, &Volumes::mountedChanged, &loop, [&] {
        read = true;
        loop.quit();
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    emit source.changed();
    if (!read)
        loop.exec();
    QObject::disconnect(done);
    return read;
}

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
    if (!announceChange(mounts, volumes))
        return QString();
    return QStringLiteral("V$Z40$0042");
}

} // namespace ostra::test

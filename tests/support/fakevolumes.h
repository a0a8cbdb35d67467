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

#include <condition_variable>
#include <memory>
#include <mutex>

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

// A mount table whose reading hangs while the gate is closed (a network share gone away
// that every read of the table asks); the gate is shared with the test and outlives the
// source, which a hung read keeps.
class HeldMountSource : public FakeMountSource
{
public:
    struct Gate
    {
        std::mutex mutex;
        std::condition_variable opened;
        bool closed = false;
        int inside = 0;

        void setClosed(bool shut)
        {
            {
                std::lock_guard<std::mutex> lock(mutex);
                closed = shut;
            }
            opened.notify_all();
        }
        // Reads that wait at the gate now.
        int waiting()
        {
            std::lock_guard<std::mutex> lock(mutex);
            return inside;
        }
    };
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();

    explicit HeldMountSource(bool closed = false) { gate->closed = closed; }
    QList<QStorageInfo> mountedVolumes() override
    {
        std::unique_lock<std::mutex> lock(gate->mutex);
        ++gate->inside;
        gate->opened.wait(lock, [this] { return !gate->closed; });
        --gate->inside;
        return list;
    }
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

// Waits until the volumes' first read of the mount table is in; false when it does not come.
inline bool waitReady(Volumes& volumes)
{
    if (volumes.ready())
        return true;
    QEventLoop loop;
    const QMetaObject::Connection done
        = QObject::connect(&volumes, &Volumes::readyChanged, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(done);
    return volumes.ready();
}

// Waits until the monitor's checks of its groups are in; false when they do not come.
inline bool waitChecked(VolMonitor& monitor)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!monitor.isChecking())
            loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    if (monitor.isChecking())
        loop.exec();
    return !monitor.isChecking();
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
    if (!waitReady(volumes))
        return QString();
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
    if (!announceChange(mounts, volumes) || !waitChecked(monitor))
        return QString();
    return QStringLiteral("V$Z40$0042");
}

} // namespace ostra::test

#include "capture/volumes.h"
#include "capture/logging.h"
#include "core/replytarget.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QThread>

#include <algorithm>

#include "platform/imountsource.h"
#include "platform/ivolumeejector.h"
#include "platform/mountinfosource.h"
#include "platform/udisksejector.h"

namespace {

// Whether a volume seen again at its mount point shows anything new.
bool differs(const QStorageInfo& a, const QStorageInfo& b)
{
    return a.isReadOnly() != b.isReadOnly() || a.fileSystemType() != b.fileSystemType()
        || a.name() != b.name() || a.subvolume() != b.subvolume() || a.isReady() != b.isReady();
}

// The source goes on its own thread (its notifier belongs there), whichever thread lets go
// of it last.
std::shared_ptr<IMountSource> shareSource(IMountSource* source)
{
    return std::shared_ptr<IMountSource>(source, [](IMountSource* s) {
        if (s->thread() == QThread::currentThread())
            delete s;
        else
            s->deleteLater();
    });
}

} // namespace

Volumes::Volumes(QObject* parent)
    : Volumes(new MountInfoSource, new UDisksEjector, parent)
{ }

Volumes::Volumes(IMountSource* source, IVolumeEjector* ejector, QObject* parent)
    : QObject(parent)
    , m_source(shareSource(source))
    , m_ejector(ejector)
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    connect(m_source.get(), &IMountSource::changed, this, &Volumes::readAgain);
    // The volumes present at start come as the first read's additions.
    readAgain();
}

Volumes::~Volumes()
{
    m_replies->close();
    // A drive that never answers does not hold the quit: its eject goes on alone (the
    // system finishes the unmount it asked for whether anyone waits or not). Nor does a
    // file system that hangs when the table is read.
    const QDeadlineTimer deadline(kLeaveMs);
    if (!m_ejects.leave(int(deadline.remainingTime())))
        qCWarning(lcCapture) << "An eject is still under way: left to end on its own";
    if (!m_reads.leave(int(deadline.remainingTime())))
        qCWarning(lcCapture) << "A read of the mount table is still under way: left to end on its own";
}

quint32 Volumes::driveValue(const QStorageInfo& volume) const
{
    const auto it = m_table.constFind(volume.rootPath());
    if (it == m_table.cend() || it->info.device() != volume.device())
        return 0;
    return it->serial;
}

bool Volumes::ejectVolume(const QStorageInfo& volume)
{
    if (!volume.isValid() || !volume.device().startsWith("/dev/")) {
        qCDebug(lcCapture) << "Not a drive:" << volume.rootPath() << volume.device();
        return false;
    }
    qCDebug(lcCapture) << "Acting upon" << volume.rootPath() << volume.device();
    // The task owns what it uses: it may outlive this object (see the destructor).
    const std::shared_ptr<IVolumeEjector> ejector = m_ejector;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    return m_ejects.start([this, ejector, replies, volume] {
        const bool ejected = ejector->eject(volume.device(), [this, replies](const QString& mountPoint) {
            replies->post([this, mountPoint] {
                const auto it = m_table.constFind(mountPoint);
                if (it != m_table.cend())
                    emit volumeRemoving(it->info);
            });
        });
        replies->post([this, volume, ejected] { emit volumeEjected(volume, ejected); });
    });
}

void Volumes::queryAll()
{
    m_mounted = m_source->mountedVolumes();
    emit mountedChanged(m_mounted, true);
}

void Volumes::readAgain()
{
    if (m_reading) {
        m_readAgain = true;
        return;
    }
    m_reading = true;
    // The task owns what it uses: it may outlive this object (see the destructor).
    const std::shared_ptr<IMountSource> source = m_source;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const Table known = m_table;
    m_reads.start([this, source, replies, known] {
        const QList<QStorageInfo> mounted = source->mountedVolumes();
        QHash<QString, quint32> serials;
        for (const QStorageInfo& volume : mounted) {
            if (volume.isValid() && !volume.rootPath().isEmpty() && fresh(known, volume))
                serials.insert(volume.rootPath(), source->volumeSerial(volume));
        }
        replies->post([this, mounted, serials] {
            m_reading = false;
            compare(mounted, serials);
            if (!std::exchange(m_ready, true))
                emit readyChanged();
            if (std::exchange(m_readAgain, false))
                readAgain();
        });
    });
}

bool Volumes::fresh(const Table& table, const QStorageInfo& volume)
{
    const auto old = table.constFind(volume.rootPath());
    return old == table.cend() || old->info.device() != volume.device() || differs(old->info, volume);
}

Volumes::Table Volumes::tableOf(const QList<QStorageInfo>& volumes)
{
    // A mount point mounted over again shows the last file system mounted on it.
    Table table;
    for (const QStorageInfo& volume : volumes) {
        if (volume.isValid() && !volume.rootPath().isEmpty())
            table.insert(volume.rootPath(), Entry { volume, 0 });
    }
    return table;
}

void Volumes::compare(const QList<QStorageInfo>& mounted, const QHash<QString, quint32>& serials)
{
    m_mounted = mounted;
    Table now = tableOf(m_mounted);

    // Gone first (so a device replaced at its mount point goes before it comes back).
    QList<QStorageInfo> gone;
    for (auto it = m_table.cbegin(); it != m_table.cend(); ++it) {
        const auto fresh = now.constFind(it.key());
        if (fresh == now.cend() || fresh->info.device() != it->info.device())
            gone << it->info;
    }
    QList<QStorageInfo> added;
    QList<QPair<QStorageInfo, QStorageInfo>> updated;
    for (auto it = now.begin(); it != now.end(); ++it) {
        const auto old = m_table.constFind(it.key());
        if (old == m_table.cend() || old->info.device() != it->info.device()) {
            it->serial = serials.value(it.key());
            added << it->info;
        } else if (differs(old->info, it->info)) {
            it->serial = serials.value(it.key());
            updated << qMakePair(old->info, it->info);
        } else {
            // Unchanged: the entry keeps the object it had.
            *it = *old;
        }
    }
    // Nested volumes go before the volume that holds them and come after it.
    auto byRoot = [](const QStorageInfo& a, const QStorageInfo& b) { return a.rootPath() < b.rootPath(); };
    std::sort(
        gone.begin(), gone.end(), [&](const QStorageInfo& a, const QStorageInfo& b) { return byRoot(b, a); });
    std::sort(added.begin(), added.end(), byRoot);
    std::sort(updated.begin(), updated.end(),
        [&](const auto& a, const auto& b) { return byRoot(a.second, b.second); });

    // A removed volume keeps its entry while its removal is told: whoever hears it can
    // still ask its serial (a label-less volume is known by nothing else).
    for (const QStorageInfo& volume : gone) {
        qCDebug(lcCapture) << "Volume removed:" << volume.rootPath() << volume.device();
        emit volumeRemoved(volume);
    }
    m_table = now;
    for (const auto& pair : updated) {
        qCDebug(lcCapture) << "Volume updated:" << pair.second.rootPath() << pair.second.device();
        emit volumeUpdated(pair.first, pair.second);
    }
    for (const QStorageInfo& volume : added) {
        qCDebug(lcCapture) << "Volume added:" << volume.rootPath() << volume.device();
        emit volumeAdded(volume);
    }
    emit mountedChanged(m_mounted, false);
}

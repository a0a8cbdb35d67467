#include "capture/volmonitor.h"

#include "capture/logging.h"
#include "capture/nilsessionproxy.h"
#include "capture/sessionlistener.h"
#include "capture/volumes.h"
#include "core/replytarget.h"
#include "platform/confinedfolder.h"
#include "platform/hiddenattribute.h"

#include <QDataStream>
#include <QDirIterator>
#include <QFile>
#include <QSet>

namespace {

const QString kHcs = QStringLiteral("HCS");
const QString kKeyFormat = QStringLiteral("V$%1$%2");
const QString kTrashFolder = QStringLiteral(".QTrash");

bool holdsFolder(const QString& root, const QString& name)
{
    return !root.isEmpty() && !name.isEmpty() && QFileInfo(root + QLatin1Char('/') + name).isDir();
}

} // namespace

VolMonitor::VolMonitor(QObject* parent)
    : CaptureListener(parent)
    , m_replies(std::make_shared<ReplyTarget>(this))
{ }

VolMonitor::~VolMonitor()
{
    m_replies->close();
    m_checks.leave(0);
}

VolMonitor::Facts VolMonitor::factsOf(const QStorageInfo& volume) const
{
    return factsWith(m_factsOf, volume);
}

VolMonitor::Facts VolMonitor::factsWith(const FactsReader& reader, const QStorageInfo& volume)
{
    if (reader)
        return reader(volume);
    return Facts { volume.name(), volume.rootPath(), volume.isValid() && volume.isReady(),
        volume.isReadOnly() };
}

void VolMonitor::setVolumes(Volumes* volumes)
{
    for (const QMetaObject::Connection& c : qAsConst(m_connections))
        disconnect(c);
    m_connections.clear();
    m_volumes = volumes;
    if (!volumes)
        return;
    m_connections << connect(volumes, &Volumes::mountedChanged, this, &VolMonitor::onMountedChanged)
                  << connect(volumes, &Volumes::volumeAdded, this, &VolMonitor::onVolumeAdded)
                  << connect(volumes, &Volumes::volumeUpdated, this,
                         [this](QStorageInfo oldInfo, QStorageInfo info) { onVolumeUpdated(oldInfo, info); })
                  << connect(volumes, &Volumes::volumeRemoved, this, &VolMonitor::onVolumeRemoved)
                  << connect(volumes, &Volumes::volumeEjected, this, &VolMonitor::onVolumeEjected);
    const QList<QStorageInfo> mounted = volumes->mounted();
    for (const QStorageInfo& volume : mounted)
        classify(volume, Add);
}

void VolMonitor::onMountedChanged(QList<QStorageInfo>, bool) { }

void VolMonitor::onVolumeAdded(QStorageInfo volume)
{
    classify(volume, Add);
}

void VolMonitor::onVolumeRemoved(QStorageInfo volume)
{
    classify(volume, Remove);
}

void VolMonitor::onVolumeUpdated(QStorageInfo oldInfo, QStorageInfo volume)
{
    const QString oldName = factsOf(oldInfo).label;
    const QString newName = factsOf(volume).label;
    if (!oldName.isEmpty() && !newName.isEmpty() && oldName != newName) {
        const QString first = m_firstLabel.take(oldName);
        m_firstLabel.insert(newName, first.isEmpty() ? oldName : first);
    }
    classify(volume, Update);
}

void VolMonitor::classify(const QStorageInfo& volume, Operation operation)
{
    const QString name = factsOf(volume).label;
    const QString label = m_firstLabel.value(name, name);
    const quint32 serial = m_volumes ? m_volumes->driveValue(volume) : 0;
    int part = -1;
    QString prefix, serialText;
    if (label.size() > 5 && label.at(4) == QLatin1Char('D') && kHcs.contains(label.at(3))) {
        part = kHcs.indexOf(label.at(3));
        prefix = label.left(3);
        serialText = label.mid(5);
    } else {
        // Only a known, equal serial joins a label-less volume to a camera.
        for (const Link& link : qAsConst(m_groups)) {
            if (Volumes::sameSerial(link.driveValue, serial)) {
                prefix = link.prefix;
                serialText = link.serial;
                part = S;
                break;
            }
        }
    }
    if (part < 0)
        return;
    const QString key = kKeyFormat.arg(prefix, serialText);
    Link& link = m_groups[key];
    link.prefix = prefix;
    link.serial = serialText;
    link.parts[part] = operation == Remove ? QStorageInfo() : volume;
    if (operation != Remove && serial != 0)
        link.driveValue = serial;
    refresh(key);
}

void VolMonitor::refresh(const QString& key)
{
    const Link& link = m_groups[key];
    const quint64 generation = ++m_generations[key];
    ++m_checking;
    // The task owns copies of what it reads: it may outlive the monitor.
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const FactsReader reader = m_factsOf;
    const QString marker = m_marker;
    QStorageInfo parts[3] = { link.parts[0], link.parts[1], link.parts[2] };
    m_checks.start([this, replies, reader, marker, parts, key, generation] {
        const Check found = check(parts, reader, marker);
        replies->post([this, key, generation, found] { settle(key, generation, found); });
    });
}

VolMonitor::Check VolMonitor::check(
    const QStorageInfo (&parts)[3], const FactsReader& reader, const QString& marker)
{
    Check result;
    Facts facts[3];
    for (int i = 0; i < 3; ++i) {
        result.parts[i] = parts[i];
        if (result.parts[i].isValid())
            result.parts[i].refresh();
        if (!result.parts[i].rootPath().isEmpty())
            facts[i] = factsWith(reader, result.parts[i]);
    }
    auto marked = [&](int i) {
        return facts[i].usable && facts[i].readOnly && holdsFolder(facts[i].rootPath, marker);
    };
    result.markerPart = marked(C) ? C : marked(H) ? H : -1;
    result.writable = facts[S].usable && !facts[S].readOnly;
    return result;
}

void VolMonitor::settle(const QString& key, quint64 generation, const Check& check)
{
    --m_checking;
    // Only the check of the group's latest change counts.
    const auto it = m_groups.find(key);
    if (it == m_groups.end() || m_generations.value(key) != generation)
        return;
    Link& link = *it;
    for (int i = 0; i < 3; ++i)
        link.parts[i] = check.parts[i];
    link.markerPart = check.markerPart;
    const bool found = link.markerPart >= 0;
    if (link.announced)
        link.state = found ? (check.writable ? 1 : 2) : 0;
    else
        link.state = found && check.writable ? 1 : 0;
    const CaptureDevice device { key, m_naming.arg(link.prefix, link.serial), CaptureDevice::kVolumeGroup };
    if (!link.announced && link.state)
        emit notifyCaptureDeviceFound(device);
    else if (link.announced && link.state)
        emit notifyCaptureDeviceUpdated(device);
    else if (link.announced)
        emit notifyCaptureDeviceLost(device);
    link.announced = link.state;
}

SessionProxy* VolMonitor::createSession(CaptureRequest request, SessionListener* listener)
{
    const auto it = m_groups.constFind(request.deviceId);
    if (it == m_groups.constEnd() || it->markerPart < 0) {
        qCWarning(lcCapture) << "No picture volume for" << request.deviceId;
        return new NilSessionProxy;
    }
    Facts writable;
    if (!it->parts[S].rootPath().isEmpty())
        writable = factsOf(it->parts[S]);
    auto* proxy
        = new PassiveSessionProxy(*it, factsOf(it->parts[it->markerPart]), writable, request, listener);
    QPointer<VolMonitor> self(this);
    const QString key = request.deviceId;
    proxy->setPresence([self, key](const QString& root) { return self && self->writableRoot(key) == root; });
    return proxy;
}

QString VolMonitor::writableRoot(const QString& key) const
{
    const auto it = m_groups.constFind(key);
    if (it == m_groups.constEnd() || it->parts[S].rootPath().isEmpty())
        return QString();
    return factsOf(it->parts[S]).rootPath;
}

void VolMonitor::eject(QString deviceId)
{
    const auto it = m_groups.constFind(deviceId);
    if (it == m_groups.constEnd() || !m_volumes)
        return;
    if (m_ejects.contains(deviceId))
        return; // under way
    Eject eject;
    for (const QStorageInfo& part : it->parts) {
        if (part.rootPath().isEmpty())
            continue;
        qCInfo(lcCapture) << "Ejecting" << part.rootPath();
        if (m_volumes->ejectVolume(part))
            eject.roots << part.rootPath();
        else
            eject.ejected = false;
    }
    if (eject.roots.isEmpty())
        emit ejectFinished(deviceId, false);
    else
        m_ejects.insert(deviceId, eject);
}

void VolMonitor::onVolumeEjected(QStorageInfo volume, bool ejected)
{
    for (auto it = m_ejects.begin(); it != m_ejects.end(); ++it) {
        if (!it->roots.removeOne(volume.rootPath()))
            continue;
        it->ejected = it->ejected && ejected;
        if (it->roots.isEmpty()) {
            const QString deviceId = it.key();
            const bool all = it->ejected;
            m_ejects.erase(it);
            qCInfo(lcCapture) << "Ejected" << deviceId << all;
            emit ejectFinished(deviceId, all);
        }
        return;
    }
}

VolMonitor::PassiveSessionProxy::PassiveSessionProxy(const Link& link, const Facts& picture,
    const Facts& writable, const CaptureRequest& request, SessionListener* listener, IFileCalls& calls)
    : m_link(link)
    , m_root(picture.rootPath)
    , m_reserved(request.reserved)
    , m_listener(listener)
    , m_calls(calls)
    , m_replies(std::make_shared<ReplyTarget>(listener))
{
    m_root.setFilter(QDir::Files | QDir::NoDotAndDotDot);
    // The picture volume is known by its file system too: a listing that ends on another
    // one (the volume unplugged meanwhile) found nothing of the camera's.
    const QString pictureRoot = picture.rootPath;
    const std::shared_ptr<Trash> state = m_trashState;
    m_work.start([pictureRoot, state] { state->picture = ConfinedFolder::deviceOf(pictureRoot); });
    // Without a writable S volume nothing is retired: never a trash folder elsewhere.
    m_writable = writable.usable && !writable.readOnly && !writable.rootPath.isEmpty();
    if (!m_writable)
        return;
    m_writableRoot = writable.rootPath;
    // The volume is known by its file system from the first task on: once it is unplugged,
    // its mount point is another file system's folder and nothing is written there. The
    // card is read on the session's thread; the listing and records queued behind this
    // task find what it learnt.
    const QString root = m_writableRoot;
    const std::shared_ptr<Trash> trash = m_trashState;
    m_work.start([root, trash] {
        const quint64 device = ConfinedFolder::deviceOf(root);
        QString error;
        const ConfinedFolder folder = device ? openTrash(root, device, true, &error) : ConfinedFolder();
        if (!folder.isValid()) {
            qCWarning(lcCapture) << "No trash folder on" << root << error;
            return;
        }
        trash->device = device;
        setHiddenAttribute(root + QLatin1Char('/') + kTrashFolder);
    });
}

VolMonitor::PassiveSessionProxy::~PassiveSessionProxy()
{
    m_replies->close();
    if (!m_work.leave(kLeaveMs))
        qCWarning(lcCapture) << "A card still works on" << m_root.path() << ": left to end on its own";
}

bool VolMonitor::PassiveSessionProxy::writablePresent() const
{
    return m_writable && (!m_present || m_present(m_writableRoot));
}

ConfinedFolder VolMonitor::PassiveSessionProxy::openTrash(
    const QString& root, quint64 device, bool create, QString* error)
{
    return ConfinedFolder::open(root, kTrashFolder, device, create, error);
}

void VolMonitor::PassiveSessionProxy::start()
{
    // The listing reports on a later turn of the event loop, as a device's does: whoever
    // opens the session is connected to it by then (reserved files reported in the
    // middle of the opening would reach no one), and opening returns at once.
    const bool trashed = writablePresent();
    const QString root = m_root.path(), writableRoot = m_writableRoot;
    const QString trashPath = writableRoot + QLatin1Char('/') + kTrashFolder;
    const std::shared_ptr<const Trash> trashState = m_trashState;
    const QStringList reserved = m_reserved;
    // Everything the task uses is its own: it may outlive this session.
    std::weak_ptr<bool> alive = m_alive;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    SessionListener* listener = m_listener;
    const std::shared_ptr<QHash<QString, Stamp>> listedFiles = m_listed;
    m_work.start([=] {
        QSet<QString> retired;
        QString error;
        const quint64 device = trashState->device;
        if (trashed && device && openTrash(writableRoot, device, false, &error).isValid()) {
            const QDir trash(trashPath);
            QDirIterator records(trashPath, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            while (records.hasNext())
                retired.insert(trash.relativeFilePath(records.next()));
        }
        const QDir top(root);
        QList<QPair<QString, QUrl>> reservedFound;
        QList<CapturedImage> found;
        QHash<QString, Stamp> listed;
        QDirIterator files(root, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QFileInfo info(files.next());
            const QString relative = top.relativeFilePath(info.filePath());
            if (reserved.contains(info.fileName()))
                reservedFound << qMakePair(info.fileName(), QUrl::fromLocalFile(info.filePath()));
            else if (!retired.contains(relative)) {
                found << CapturedImage { info.fileName().section(QLatin1Char('.'), 0, 0), relative,
                    info.fileName(), info.size(), QUrl::fromLocalFile(info.filePath()) };
                listed.insert(relative, stampOf(info));
            }
        }
        // Unplugged before or during the walk: what it found is not all the camera holds,
        // and an import would take the files it missed for gone. The device is lost.
        if (!trashState->picture || ConfinedFolder::deviceOf(root) != trashState->picture) {
            qCWarning(lcCapture) << "The picture volume" << root << "went while it was listed";
            replies->post([alive, listener] {
                if (alive.lock())
                    emit listener->notifyDeviceLost();
            });
            return;
        }
        replies->post([alive, listener, reservedFound, found, listed, listedFiles] {
            if (!alive.lock())
                return;
            *listedFiles = listed;
            for (const auto& file : reservedFound)
                emit listener->notifyReserved(file.first, file.second);
            emit listener->notifyItemsFound(found);
            emit listener->notifyEnumerated(true);
        });
    });
}

void VolMonitor::PassiveSessionProxy::remove(QString relativePath)
{
    const QString clean = QDir::cleanPath(relativePath);
    if (!m_writable || clean.isEmpty() || clean.startsWith(QLatin1String(".."))
        || QDir::isAbsolutePath(clean)) {
        qCWarning(lcCapture) << "Cannot retire" << relativePath;
        return;
    }
    // Never on a volume that is gone: a record written where it used to be would
    // overwrite a file outside the camera.
    if (!writablePresent()) {
        qCWarning(lcCapture) << "Cannot write the trash record" << clean << "the writable volume is gone";
        return;
    }
    // A file this session listed is retired only while it is still that file; one it did
    // not list (asked before the listing came in) has nothing to compare with.
    const bool listed = m_listed->contains(clean);
    const Stamp copied = m_listed->value(clean);
    const QString file = m_root.filePath(clean), root = m_writableRoot;
    const std::shared_ptr<const Trash> trashState = m_trashState;
    IFileCalls& calls = m_calls;
    std::weak_ptr<bool> alive = m_alive;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    SessionListener* listener = m_listener;
    m_work.start([=, &calls] {
        const quint64 device = trashState->device;
        if (!device) {
            qCWarning(lcCapture) << "Cannot retire" << clean << "no trash folder on" << root;
            return;
        }
        const QFileInfo now(file);
        // The camera may have written another picture under the same name since the
        // listing (a card cleared, a picture taken again): that one stays.
        if (listed && (!now.isFile() || stampOf(now) != copied)) {
            qCWarning(lcCapture) << "Cannot retire" << clean
                                 << ": changed on the camera since it was copied, kept:"
                                 << "size" << copied.first << "->" << now.size() << "modified"
                                 << copied.second << "->" << stampOf(now).second;
            return;
        }
        const QByteArray record = trashRecord(clean, now);
        qCDebug(lcCapture) << "Buffer size" << record.size();
        // Never through a link, never on another file system.
        QString error;
        const ConfinedFolder trash = openTrash(root, device, true, &error);
        if (!trash.isValid() || !trash.write(clean, record, &error, calls)) {
            // The file stays listed.
            qCWarning(lcCapture) << "Cannot write the trash record" << clean << error;
            return;
        }
        replies->post([alive, listener, relativePath] {
            if (alive.lock())
                emit listener->notifyItemsRemoved({ relativePath });
        });
    });
}

VolMonitor::PassiveSessionProxy::Stamp VolMonitor::PassiveSessionProxy::stampOf(const QFileInfo& file)
{
    const QDateTime modified = file.lastModified();
    return { file.size(), modified.isValid() ? modified.toMSecsSinceEpoch() : 0 };
}

QByteArray VolMonitor::PassiveSessionProxy::trashRecord(const QString& relativePath, const QFileInfo& file)
{
    QByteArray path = relativePath.toUtf8();
    const int zero = path.indexOf('\0');
    if (zero >= 0)
        path.truncate(zero);
    const QDateTime born = file.birthTime();
    const QDateTime modified = file.lastModified();
    QByteArray record;
    QDataStream out(&record, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::BigEndian);
    out << qint64(path.isEmpty() ? 0 : crc32(path)) << qint64(file.size())
        << qint64(born.isValid() ? born.toMSecsSinceEpoch() : 0)
        << qint64(born.isValid() ? born.offsetFromUtc() : 0)
        << qint64(modified.isValid() ? modified.toMSecsSinceEpoch() : 0)
        << qint64(modified.isValid() ? modified.offsetFromUtc() : 0);
    return record;
}

quint32 VolMonitor::PassiveSessionProxy::crc32(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

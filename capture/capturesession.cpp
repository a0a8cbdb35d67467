#include "capture/capturesession.h"

#include "capture/filekind.h"
#include "capture/logging.h"
#include "capture/nilsessionproxy.h"
#include "capture/sessionlistener.h"
#include "core/replytarget.h"
#include "core/texthelpers.h"
#include "pipeline/ipipeline.h"
#include "pipeline/recipebatch.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QMetaEnum>
#include <QSize>

#include <algorithm>
#include <climits>

namespace {

const QString kRouteKey = QStringLiteral("transfer");
// The namespace of device UUIDs: a device id always gives the same UUID.
const QUuid kDeviceNamespace = QUuid(QStringLiteral("{5e7c1a0d-93b4-4c61-8f2e-0d4a6b1c7e35}"));
constexpr int kFirstRoles[] = { PreviewKind, StateKind, RawKind };

QByteArray lowerFirst(QByteArray key)
{
    if (!key.isEmpty())
        key[0] = char(QChar::toLower(ushort(key[0])));
    return key;
}

QByteArray upperFirst(QByteArray key)
{
    if (!key.isEmpty())
        key[0] = char(QChar::toUpper(ushort(key[0])));
    return key;
}

// Role names from the meta-enum keys: a block of roles from `first`, one per key before
// the terminal count key, each named `prefix` + Key, or key when there is no prefix.
void nameBlock(QHash<int, QByteArray>& names, const char* enumName, int first, const QByteArray& prefix = {})
{
    const QMetaObject& mo = CaptureSession::staticMetaObject;
    const QMetaEnum e = mo.enumerator(mo.indexOfEnumerator(enumName));
    for (int i = 0; i + 1 < e.keyCount(); ++i) {
        const QByteArray key(e.key(i));
        names.insert(first + e.value(i), prefix.isEmpty() ? lowerFirst(key) : prefix + upperFirst(key));
    }
}

Recipe recipeFor(const QString& deviceId, const QString& fileName, qint64 size, const QUuid& image = {})
{
    Recipe recipe;
    recipe.provider = kRouteKey;
    recipe.ioChannel = deviceId;
    recipe.recipe = fileKeyDocument(fileName);
    recipe.fileSize = size;
    recipe.imageUuid = image;
    return recipe;
}

} // namespace

CaptureSession::CaptureSession(const SessionFactory& factory, const CaptureRequest& request,
    IFileSink* pipeline, IBailiff* bailiff, QObject* parent)
    : QStandardItemModel(parent)
    , m_request(request)
    , m_bailiff(bailiff)
    , m_pipeline(pipeline)
    , m_selection(this)
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    if (!request.deviceId.isEmpty())
        m_deviceUuid = QUuid::createUuidV5(kDeviceNamespace, request.deviceId);
    m_listener = new SessionListener(bailiff, this);
    connect(
        &m_selection, &QItemSelectionModel::selectionChanged, this, &CaptureSession::sourceSelectionChanged);
    m_proxy = factory ? factory(m_request, m_listener) : nullptr;
    if (!m_proxy)
        m_proxy = new NilSessionProxy;
    m_proxy->start();
}

CaptureSession::~CaptureSession()
{
    // A read under way (a card that hangs) is left to end on its own, telling no one.
    m_replies->close();
    m_reads.leave(0);
    // The pipeline always hears that the channel is gone.
    onDeviceLost();
    delete m_proxy;
    delete m_lostListener;
}

QVariant CaptureSession::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.model() != this)
        return {};
    if (role == SelectedRole)
        return m_selection.isSelected(index);
    if (role == Qt::SizeHintRole) {
        const QStandardItem* item = itemFromIndex(index);
        return QSize(item->data(AspectWidthRole).toInt(), item->data(AspectHeightRole).toInt());
    }
    return QStandardItemModel::data(index, role);
}

QHash<int, QByteArray> CaptureSession::roleNames() const
{
    static const QHash<int, QByteArray> names = [] {
        QHash<int, QByteArray> n;
        nameBlock(n, "Coordinate", LinkIdRole);
        const QByteArray prefixes[] = { "thm", "state", "raw" };
        for (int k = 0; k < 3; ++k)
            nameBlock(n, "Component", kFirstRoles[k], prefixes[k]);
        nameBlock(n, "ExifTag", LocationRole);
        nameBlock(n, "UserTag", VrxStateRole);
        return n;
    }();
    return names;
}

bool CaptureSession::isLive() const
{
    return m_live && m_proxy->isDevice();
}

QStandardItem* CaptureSession::itemOf(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return nullptr;
    return itemFromIndex(index);
}

// ---- what the capture model asks

void CaptureSession::providerForward24()
{
    m_proxy->cancelPendingRequests();
}

void CaptureSession::providerForward16(QString path, QString objectId, uint32_t size)
{
    m_proxy->fetchPreset(path, objectId, size);
}

void CaptureSession::providerForward48(VideosModel::DownloadRequest request)
{
    if (!request.objectID.isEmpty())
        m_proxy->fetchVideo(request);
}

void CaptureSession::forwardState(const QModelIndex& index, bool on)
{
    if (itemOf(index))
        m_selection.select(index, on ? QItemSelectionModel::Select : QItemSelectionModel::Deselect);
}

void CaptureSession::pushName(const QString& remoteId)
{
    if (!remoteId.isEmpty())
        m_proxy->remove(remoteId);
}

void CaptureSession::itemFromRecord(
    RecipeBatch* batch, const QModelIndex& index, int role, const QDir& folder) const
{
    const QStandardItem* item = itemOf(index);
    if (!batch || !item || item->data(role + RemoteId).toString().isEmpty())
        return;
    const QString name = item->data(role + FileName).toString();
    batch->addStep();
    batch->setRecipe(fileKeyDocument(name));
    batch->setFileSize(item->data(role + FileSize).toLongLong());
    batch->setImageUuid(item->data(ImageUuidRole).toUuid());
    // Only the name's last part: a device never places files outside the import folder.
    batch->setUrl(QUrl::fromLocalFile(folder.absoluteFilePath(QFileInfo(name).fileName())), true);
}

void CaptureSession::touchItem(const QModelIndex& index)
{
    QStandardItem* item = itemOf(index);
    if (!item)
        return;
    item->setData(true, ToRemoveRole);
    const QHash<int, QString> listed = m_listedIds.value(item->data(LinkIdRole).toString());
    for (int kind : { RawKind, StateKind, PreviewKind }) {
        const QString remoteId = item->data(kind + RemoteId).toString();
        if (remoteId.isEmpty())
            continue;
        // Another object found under the file's name since: a new picture, not the copied file.
        if (remoteId != listed.value(kind)) {
            qCWarning(lcCapture) << "Not the file that was copied, kept on the device:" << remoteId
                                 << "copied from" << listed.value(kind);
            continue;
        }
        pushName(remoteId);
    }
}

// ---- IProvider

int CaptureSession::capacity(QString)
{
    return m_proxy->capacity();
}

QString CaptureSession::routeKey()
{
    return kRouteKey;
}

void CaptureSession::attach(IFileSink* sink)
{
    if (m_pipeline == sink)
        return;
    m_pipeline = sink;
    if (sink && !qobject_cast<IPipeline*>(sink))
        qCWarning(lcCapture) << deviceId() << "is attached to a pipeline that takes no requests";
    emit pipelineChanged();
    if (sink && !m_deferred.isEmpty()) {
        const QList<Entry> deferred = std::exchange(m_deferred, {});
        enter(deferred);
    }
}

IProvider::Validator CaptureSession::validator()
{
    // The pipeline reaches a session only through the devices model, which tests itself.
    return [](const QUrl&, const Recipe&) { return false; };
}

bool CaptureSession::adopt(QUrl target, Recipe recipe)
{
    onItemFile(target, recipe);
    return true;
}

void CaptureSession::fetch(QUrl target, Recipe recipe, Arbiter)
{
    m_proxy->transfer(target, recipe);
}

bool CaptureSession::reclaim(QUrl, Recipe)
{
    return false;
}

void CaptureSession::freeImage(Recipe recipe, QUuid imageUuid, QModelIndex index)
{
    // A picture without a UUID is never freed: nothing proves that it was imported.
    const QStandardItem* item = itemOf(index);
    if (recipe.ioChannel != deviceId() || imageUuid.isNull() || !item
        || item->data(ImageUuidRole).toUuid() != imageUuid)
        return;
    touchItem(index);
}

void CaptureSession::imageChanged(Recipe recipe, QUuid imageUuid, QModelIndex index, IHarvest* harvest)
{
    const QStandardItem* item = itemOf(index);
    if (recipe.ioChannel != deviceId() || imageUuid.isNull() || !item || !harvest
        || item->data(ImageUuidRole).toUuid() != imageUuid)
        return;
    showHarvest(index, harvest, true);
}

bool CaptureSession::isRaw(Recipe)
{
    return true;
}

void CaptureSession::showHarvest(const QModelIndex& index, IHarvest* harvest, bool always)
{
    const bool active = harvest->active();
    if (!active && !always)
        return;
    QStandardItem* item = itemFromIndex(index);
    QVector<int> roles { TransferringRole };
    {
        const QSignalBlocker quiet(this);
        item->setData(active, TransferringRole);
        if (active && harvest->complete()) {
            item->setData(true, TransferredRole);
            roles << TransferredRole;
        }
    }
    emit itemChanged(index, roles);
}

// ---- transport reports

void CaptureSession::onReserved(QString name, QUrl file)
{
    if (!m_live)
        return;
    qCInfo(lcCapture) << "Reserved file" << name << "saved to" << file;
    // Told once read, in the order the files came.
    Arrival arrival;
    arrival.location = file;
    arrival.reserved = name;
    readThenTake({ arrival }, false);
}

void CaptureSession::onEnumerated(bool enumerated)
{
    if (!m_live)
        return;
    qCInfo(lcCapture) << "Enumeration status:" << enumerated;
    m_enumerated = enumerated;
    if (m_pipeline) {
        if (enumerated)
            m_pipeline->onRecovery(kRouteKey, deviceId());
        else
            m_pipeline->onChanLost(kRouteKey, deviceId(), IFileSink::IOPause);
    }
    emit notifyEnumerated(enumerated);
    if (enumerated)
        QMetaObject::invokeMethod(this, &CaptureSession::checkCorrelation, Qt::QueuedConnection);
}

void CaptureSession::onProgress(QUrl location, Recipe recipe, ProgressRatio progress)
{
    if (m_pipeline && m_live)
        m_pipeline->onProgress(location, recipe, progress);
}

void CaptureSession::onItemsFound(QList<CapturedImage> found)
{
    if (found.isEmpty() || !m_live)
        return;
    const bool wasCorrelated = m_correlated;
    int first = INT_MAX;
    int last = -1;
    QList<QStandardItem*> added;
    QHash<QString, QStandardItem*> addedByKey;
    struct Found
    {
        QStandardItem* item;
        CapturedImage file;
        int kind;
    };
    QList<Found> files;
    {
        // Rows that exist change quietly; new rows are filled before they are shown.
        const QSignalBlocker quiet(this);
        for (const CapturedImage& file : qAsConst(found)) {
            const int kind = fileKind(QFileInfo(file.fileName).suffix());
            if (kind == NoKind)
                continue;
            QStandardItem* item = itemOf(m_items.value(file.linkId));
            if (!item)
                item = addedByKey.value(file.linkId);
            if (!item) {
                item = new QStandardItem;
                item->setData(file.linkId, LinkIdRole);
                item->setData(false, TransferringRole);
                item->setData(false, TransferredRole);
                item->setData(false, ToRemoveRole);
                added << item;
                addedByKey.insert(file.linkId, item);
            }
            QHash<int, QString>& listed = m_listedIds[file.linkId];
            if (item->data(ToRemoveRole).toBool()) {
                // A file of a kind the picture had not shown yet (a companion file found
                // late) goes with it; a kind listed before is a new picture taken under a
                // name the camera used again, and stays.
                if (listed.contains(kind)) {
                    qCWarning(lcCapture)
                        << "A new file under the name of a freed picture, kept on the device:"
                        << file.remoteId << file.fileName;
                    continue;
                }
                listed.insert(kind, file.remoteId);
                pushName(file.remoteId);
                continue;
            }
            if (!listed.contains(kind))
                listed.insert(kind, file.remoteId);
            item->setData(file.remoteId, kind + RemoteId);
            item->setData(file.fileName, kind + FileName);
            item->setData(file.fileSize, kind + FileSize);
            if (item->model()) {
                first = std::min(first, item->row());
                last = std::max(last, item->row());
            }
            files.append({ item, file, kind });
        }
    }
    // One insertion for the whole batch.
    if (!added.isEmpty()) {
        invisibleRootItem()->appendRows(added);
        for (QStandardItem* item : qAsConst(added)) {
            m_items.insert(item->data(LinkIdRole).toString(), indexFromItem(item));
            first = std::min(first, item->row());
            last = std::max(last, item->row());
        }
    }
    QList<Entry> entries;
    for (const Found& f : qAsConst(files)) {
        const QModelIndex index = indexFromItem(f.item);
        if (f.kind == PreviewKind)
            m_pendingPreviews.insert(index.row());
        if (f.kind == RawKind && f.file.location.isEmpty())
            continue;
        Entry entry;
        entry.recipe = recipeFor(deviceId(), f.file.fileName, f.file.fileSize);
        entry.kind = f.kind;
        entry.row = index;
        entry.local = !f.file.location.isEmpty();
        if (entry.local) {
            entry.location = f.file.location;
        } else {
            // Only the name's last part: a device never writes outside its cache folder.
            entry.location
                = QUrl::fromLocalFile(m_request.cache.filePath(QFileInfo(f.file.fileName).fileName()));
            entry.arbiter = Arbiter(f.kind == PreviewKind, true);
        }
        entries << entry;
    }
    {
        const QSignalBlocker quiet(this);
        if (m_pipeline)
            enter(entries);
        else {
            // Nothing to fetch with yet: local files are read now, all is entered on attach.
            enter(entries);
            m_deferred << entries;
        }
    }
    if (last >= 0)
        emit dataChanged(index(first, 0), index(last, 0));
    if (!wasCorrelated && m_correlated)
        emit notifyCorrelated(true);
}

void CaptureSession::enter(const QList<Entry>& entries)
{
    if (IPipeline* requests = qobject_cast<IPipeline*>(m_pipeline.data())) {
        for (const Entry& entry : entries) {
            if (!entry.local)
                requests->putRecipe(QUuid(), entry.location, entry.recipe, entry.arbiter);
        }
    }
    // Previews first, then state files, then raw files.
    QList<Arrival> arrivals;
    for (int kind : kFirstRoles) {
        for (const Entry& entry : entries) {
            if (entry.local && entry.kind == kind) {
                arrivals.append(itemArrival(entry.location, entry.recipe, kind, entry.row, true));
                arrivals.last().queue = true;
            }
        }
    }
    if (!arrivals.isEmpty())
        readThenTake(arrivals, true);
}

void CaptureSession::onItem(QUrl location, Recipe recipe, int role, QModelIndex index, bool preexisting)
{
    readThenTake({ itemArrival(location, recipe, role, index, preexisting) }, false);
}

CaptureSession::Arrival CaptureSession::itemArrival(
    const QUrl& location, const Recipe& recipe, int role, const QModelIndex& row, bool preexisting)
{
    Arrival arrival;
    arrival.location = location;
    arrival.recipe = recipe;
    arrival.role = role;
    arrival.row = row;
    arrival.preexisting = preexisting;
    return arrival;
}

void CaptureSession::finishItem(
    const QUrl& location, Recipe recipe, int role, const QModelIndex& index, bool preexisting)
{
    QStandardItem* item = itemOf(index);
    if (item && (role == PreviewKind || preexisting))
        recipe.imageUuid = item->data(ImageUuidRole).toUuid();
    if (m_pipeline)
        m_pipeline->onComplete(location, recipe);
    if (!item || role != PreviewKind)
        return;
    m_pendingPreviews.remove(index.row());
    // The picture is claimed before the correlation that this preview may complete: the
    // pipeline then releases every picture not claimed, and would take this one for gone.
    // Harvests are per image: a picture without a UUID has none, and is never freed.
    IHarvest* harvest = m_pipeline && !recipe.imageUuid.isNull()
        ? m_pipeline->claimIndex(kRouteKey, deviceId(), recipe.imageUuid, index)
        : nullptr;
    if (harvest) {
        if (harvest->removable())
            touchItem(index);
        else
            showHarvest(index, harvest, false);
    }
    if (!m_taking)
        checkCorrelation();
}

void CaptureSession::onItemFile(QUrl location, Recipe recipe)
{
    if (!m_live)
        return;
    // Items are keyed by the file's base name as the transport normalizes it.
    const QString key = recipe.recipe.object().value(QStringLiteral("file")).toString();
    QModelIndex row = m_items.value(key);
    if (!row.isValid())
        row = m_items.value(normalizeUnderscoreName(key));
    onItem(location, recipe, fileKind(recipe), row, false);
}

void CaptureSession::onBatch(bool open)
{
    if (m_pipeline)
        m_pipeline->setBatch(open);
}

void CaptureSession::onObstacle(QUrl location, Recipe recipe, IFileSink::Error error)
{
    if (!m_pipeline)
        return;
    // A file missing before the listing ended may still turn up.
    if (error == IFileSink::SrcLost && !m_enumerated)
        error = IFileSink::IOPause;
    // A file that we deleted on the device ourselves (its picture was imported) cannot be
    // read any more: it is gone, which says nothing about the device.
    if (error & (IFileSink::IOError | IFileSink::IOPause)) {
        const QString key = recipe.recipe.object().value(QStringLiteral("file")).toString();
        QModelIndex row = m_items.value(key);
        if (!row.isValid())
            row = m_items.value(normalizeUnderscoreName(key));
        const QStandardItem* item = itemOf(row);
        const int kind = fileKind(recipe);
        if (item && kind != NoKind
            && (item->data(ToRemoveRole).toBool() || item->data(kind + RemoteId).toString().isEmpty())) {
            qCInfo(lcCapture) << "Deleted on the device:" << location << "- not a device fault";
            error = IFileSink::SrcLost;
        }
    }
    m_pipeline->onObstacle(location, recipe, error);
}

void CaptureSession::onItemsRemoved(QStringList idList)
{
    qCInfo(lcCapture) << "Removed" << idList << "while connected" << m_live;
    const QSet<QString> ids(idList.cbegin(), idList.cend());
    int first = INT_MAX;
    int last = -1;
    {
        const QSignalBlocker quiet(this);
        for (int row = 0; row < QStandardItemModel::rowCount(); ++row) {
            QStandardItem* item = this->item(row);
            for (int kind : kFirstRoles) {
                const QString remoteId = item->data(kind + RemoteId).toString();
                if (remoteId.isEmpty() || !ids.contains(remoteId))
                    continue;
                const QUuid image = item->data(ImageUuidRole).toUuid();
                if (m_live && !image.isNull() && m_pipeline) {
                    m_pipeline->onReleased(recipeFor(deviceId(), item->data(kind + FileName).toString(),
                                               item->data(kind + FileSize).toLongLong(), image),
                        IFileSink::SrcLost);
                }
                item->setData(QVariant(), kind + RemoteId);
                // A camera may write another picture under the same name and object id: a
                // file found for this kind from now on is not the one that was listed (and
                // perhaps copied), and is never freed with the picture.
                const auto listed = m_listedIds.find(item->data(LinkIdRole).toString());
                if (listed != m_listedIds.end() && listed->value(kind) == remoteId)
                    listed->insert(kind, QString());
                if (kind == StateKind)
                    item->setData(QVariant(), RatingRole);
                if (kind == PreviewKind && m_live)
                    m_pendingPreviews.remove(row);
                first = std::min(first, row);
                last = std::max(last, row);
            }
        }
    }
    checkCorrelation();
    if (last >= 0)
        emit dataChanged(index(first, 0), index(last, 0));
}

void CaptureSession::checkCorrelation()
{
    if (!m_enumerated || m_correlated || !m_pendingPreviews.isEmpty())
        return;
    qCInfo(lcCapture) << deviceId() << "correlated";
    m_correlated = true;
    emit notifyCorrelated(true);
    if (m_pipeline)
        m_pipeline->onClaimAll(kRouteKey, deviceId());
}

void CaptureSession::onDeviceLost()
{
    if (!m_live)
        return;
    m_proxy->cancelPendingRequests();
    delete std::exchange(m_proxy, new NilSessionProxy);
    qCInfo(lcCapture) << "Session listener is being detached";
    m_listener->detach();
    // Reports already on their way may still name it; it goes once they are delivered.
    m_lostListener = std::exchange(m_listener, nullptr);
    m_lostListener->deleteLater();
    m_live = false;
    m_pendingPreviews.clear();
    m_items.clear();
    m_listedIds.clear();
    m_deferred.clear();
    removeRows(0, QStandardItemModel::rowCount());
    if (m_pipeline)
        m_pipeline->onChanLost(kRouteKey, deviceId(), IFileSink::IOError);
    emit notifyDeviceLost();
}

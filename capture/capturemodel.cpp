#include "capture/capturemodel.h"

#include "capture/capturefacade.h"
#include "capture/capturesession.h"
#include "capture/hasbeenmodel.h"
#include "capture/logging.h"
#include "capture/nilcapturesession.h"
#include "core/appsettings.h"
#include "core/variantless.h"
#include "pipeline/foldermaker.h"
#include "pipeline/ipipeline.h"
#include "pipeline/recipebatch.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

CaptureModel::CaptureModel(QObject* parent)
    : QSortFilterProxyModel(parent)
    , m_nil(new NilCaptureSession(this))
    , m_estimate(new ProgressModel(this))
    , m_selection(this, m_estimate)
    , m_videos(new VideosModel(this))
{
    setDynamicSortFilter(true);
    setSortCaseSensitivity(Qt::CaseInsensitive);
    setSortLocaleAware(false);
    connect(&m_selection, &CaptureSelection::autoselectChanged, this, &CaptureModel::autoselectChanged);
    // Rows that appear in the view (new, or newly passing the filter) follow the mode.
    connect(this, &QAbstractItemModel::rowsInserted, this, &CaptureModel::selectNewRows);
    for (auto signal : { &QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved })
        connect(this, signal, this, [this] {
            emit itemCountChanged();
            recountLater();
        });
    connect(this, &QAbstractItemModel::modelReset, this, [this] {
        emit itemCountChanged();
        recountLater();
    });
    connect(this, &QAbstractItemModel::layoutChanged, this, [this] { recountLater(); });
    // The videos model asks the session for downloads and removals.
    connect(m_videos, &VideosModel::requestDownload, this, [this](VideosModel::DownloadRequest request) {
        if (m_session)
            m_session->providerForward48(request);
    });
    connect(m_videos, &VideosModel::requestRemoving, this, [this](QStringList ids) {
        if (m_session)
            for (const QString& id : qAsConst(ids))
                m_session->pushName(id);
    });
    for (auto signal : { &CaptureModel::deviceIdChanged, &CaptureModel::enumeratedChanged,
             &CaptureModel::correlatedChanged, &CaptureModel::notifyDeviceLost })
        connect(this, signal, this, &CaptureModel::loadingStateChanged);
    switchSession(m_nil);
    sort(0, Qt::AscendingOrder);
}

QString CaptureModel::loadingState() const
{
    if (m_deviceId.isEmpty() || !m_session)
        return QStringLiteral("preloading");
    // The empty session stands for a device that could not be opened or is gone.
    if (m_session == m_nil || !m_session->isLive())
        return QStringLiteral("failed");
    if (!m_enumerated || !m_correlated)
        return QStringLiteral("loading");
    return QStringLiteral("loaded");
}

CaptureModel::~CaptureModel()
{
    for (const QMetaObject::Connection& c : qAsConst(m_connections))
        disconnect(c);
}

void CaptureModel::setDeviceLocator(CaptureFacade* locator)
{
    if (m_locator == locator)
        return;
    if (m_locator)
        disconnect(m_locator, nullptr, this, nullptr);
    m_locator = locator;
    if (locator) {
        // Device names change with the devices model's rows.
        connect(locator, &QAbstractItemModel::dataChanged, this, &CaptureModel::updateDeviceNames);
        connect(locator, &QAbstractItemModel::rowsInserted, this, &CaptureModel::updateDeviceNames);
        connect(locator, &CaptureFacade::ejectFinished, this, [this](QString deviceId, bool ejected) {
            if (deviceId == m_deviceId)
                setEjectState(ejected ? QStringLiteral("ejected") : QStringLiteral("failed"));
        });
    }
    emit deviceNameChanged();
    emit deviceIdChanged();
    invalidate();
}

void CaptureModel::setBeenModel(HasBeenModel* model)
{
    if (m_beenModel == model)
        return;
    if (m_beenModel)
        disconnect(m_beenModel, nullptr, this, nullptr);
    m_beenModel = model;
    m_imported.clear();
    if (model)
        connect(model, &HasBeenModel::notifyHasBeen, this, [this](QUuid, QUuid img) {
            m_imported.insert(img, true);
            recountLater();
        });
    recountLater();
}

QUuid CaptureModel::deviceUUID() const
{
    return m_session ? m_session->deviceUuid() : QUuid();
}

QString CaptureModel::deviceName() const
{
    return m_locator ? m_locator->deviceName(m_deviceId) : QString();
}

int CaptureModel::deviceItemCount() const
{
    return m_session ? m_session->rowCount() : 0;
}

QItemSelectionModel* CaptureModel::sourceSelectionModel() const
{
    return m_session ? m_session->selectionModel() : nullptr;
}

bool CaptureModel::canEject() const
{
    return m_locator && !m_deviceId.isEmpty() && m_locator->canEject(m_deviceId);
}

void CaptureModel::startBlind()
{
    if (!m_locator) {
        qCDebug(lcCapture) << "null device locator ignore startBlind";
        return;
    }
    setDeviceId(m_locator->index(0, 0).data(CaptureFacade::DeviceIdRole).toString());
}

void CaptureModel::setDeviceId(QString deviceId)
{
    if (!m_locator) {
        qCDebug(lcCapture) << "null device locator ignore startBlind";
        return;
    }
    if (m_session && m_session != m_nil && m_session->isLive() && deviceId == m_deviceId) {
        qCDebug(lcCapture) << "ignore startBlind";
        return;
    }
    if (deviceId != m_deviceId)
        setEjectState(QString());
    m_deviceId = deviceId;
    switchSession(m_nil);
    if (!deviceId.isEmpty())
        if (CaptureSession* session = m_locator->openSession(deviceId))
            switchSession(session);
}

void CaptureModel::switchSession(CaptureSession* session)
{
    for (const QMetaObject::Connection& c : qAsConst(m_connections))
        disconnect(c);
    m_connections.clear();
    CaptureSession* previous = m_session;
    // A session handed out without an owner (a device that cannot be opened) is ours.
    if (!session->parent())
        session->setParent(this);
    m_session = session;
    m_selection.setSelectionModel(session->selectionModel());
    setSourceModel(session);
    if (previous && previous != m_nil && previous != session && previous->parent() == this)
        previous->deleteLater();
    setFlags(session->isEnumerated(), session->isCorrelated());
    auto& c = m_connections;
    c << connect(session, &CaptureSession::notifyEnumerated, this, &CaptureModel::onEnumerated);
    c << connect(session, &CaptureSession::notifyCorrelated, this, &CaptureModel::onCorrelated);
    c << connect(session, &CaptureSession::notifyDeviceLost, this, &CaptureModel::onDeviceLost);
    c << connect(
        session, &CaptureSession::sourceSelectionChanged, this, &CaptureModel::sourceSelectionChanged);
    c << connect(session, &CaptureSession::notifyPresetFound, this, &CaptureModel::onPresetFound);
    c << connect(session, &CaptureSession::itemChanged, this, &CaptureModel::sourceDataChanged);
    c << connect(session, &CaptureSession::deviceFound, this, &CaptureModel::deviceFound);
    c << connect(session, &CaptureSession::deviceUuidChanged, this, &CaptureModel::deviceIdChanged);
    c << connect(session, &QAbstractItemModel::dataChanged, this, &CaptureModel::itemDataChanged);
    c << connect(session, &QAbstractItemModel::rowsAboutToBeRemoved, this, &CaptureModel::cleanUpSpace);
    c << connect(session, &QAbstractItemModel::rowsRemoved, this, &CaptureModel::sourceRowsRemoved);
    c << connect(session, &QAbstractItemModel::rowsInserted, this, &CaptureModel::deviceItemCountChanged);
    c << connect(session, &QAbstractItemModel::modelReset, this, &CaptureModel::deviceItemCountChanged);
    c << connect(session, &CaptureSession::notifyVideoFound, m_videos, &VideosModel::addVideo);
    c << connect(
        session, &CaptureSession::notifyVideoThumbnailReady, m_videos, &VideosModel::onThumbnailFound);
    c << connect(session, &CaptureSession::videoMetadataReceived, m_videos, &VideosModel::saveMetadata);
    c << connect(session, &CaptureSession::reportProgress, m_videos, &VideosModel::onProgress);
    c << connect(session, &CaptureSession::videoDownloaded, m_videos, &VideosModel::onVideoImported);
    // The rows the new session already has follow the current mode.
    m_selection.reapply();
    emit deviceIdChanged();
    emit deviceNameChanged();
    emit deviceItemCountChanged();
    emit itemCountChanged();
    emit enumeratedChanged();
    emit correlatedChanged();
    recountLater();
}

void CaptureModel::setFlags(bool enumerated, bool correlated)
{
    m_enumerated = enumerated;
    m_correlated = correlated;
}

bool CaptureModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    const QModelIndex index = sourceModel()->index(sourceRow, 0, sourceParent);
    for (int role :
        { CaptureSession::ThmRemoteIdRole, CaptureSession::RawRemoteIdRole, CaptureSession::LocationRole })
        if (index.data(role).toString().isEmpty()) // absent, cleared or never read
            return false;
    return index.data(CaptureSession::RatingRole).toInt() >= m_minRating;
}

bool CaptureModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    if (left == right)
        return false;
    for (int role : { sortRole(), int(CaptureSession::ThmFileNameRole) }) {
        const QVariant a = left.data(role);
        const QVariant b = right.data(role);
        if (a.userType() == QMetaType::QString && b.userType() == QMetaType::QString) {
            const int c = QString::compare(a.toString(), b.toString(), Qt::CaseInsensitive);
            if (c != 0)
                return c < 0;
            continue;
        }
        if (VariantLess()(a, b))
            return true;
        if (VariantLess()(b, a))
            return false;
    }
    return false;
}

// Selection

void CaptureModel::selectManual(int row, bool checked, bool isMultiSelect)
{
    if (m_selection.selectManual(row, checked, isMultiSelect) > 0)
        emit queuedNotSelected(isMultiSelect);
}

void CaptureModel::selectIndex(QModelIndex idx, bool checked)
{
    m_selection.selectIndex(idx, checked);
}

void CaptureModel::selectAll()
{
    m_selection.choose([](const QModelIndex&) { return true; }, {});
}

void CaptureModel::selectRated()
{
    m_selection.choose([](const QModelIndex& i) { return i.data(CaptureSession::RatingRole).toInt() > 0; },
        { CaptureSession::RatingRole });
}

void CaptureModel::selectNew()
{
    m_selection.choose(
        [this](const QModelIndex& i) { return isFresh(i); }, { CaptureSession::ImageUuidRole });
}

void CaptureModel::selectNone()
{
    m_selection.choose([](const QModelIndex&) { return false; }, {});
}

void CaptureModel::toManualMode()
{
    m_selection.toManual();
}

// Marks carry the camera's UUID from the imported raw files, which the session's UUID
// (made from the device id) never equals: a picture counts as imported when its image
// UUID, unique per picture, was recorded from any camera.
bool CaptureModel::isFresh(const QModelIndex& sourceIndex) const
{
    if (!m_beenModel)
        return true;
    const QUuid image = sourceIndex.data(CaptureSession::ImageUuidRole).toUuid();
    auto known = m_imported.constFind(image);
    if (known == m_imported.constEnd())
        known = m_imported.insert(image, m_beenModel->hasBeen(QUuid(), image));
    return !known.value();
}

void CaptureModel::selectNewRows(QModelIndex parent, int first, int last)
{
    if (!parent.isValid())
        m_selection.rowsShown(first, last);
}

void CaptureModel::itemDataChanged(QModelIndex tl, QModelIndex br, QVector<int> roles)
{
    m_selection.rowsChanged(tl, br, roles);
    if (roles.isEmpty() || roles.contains(CaptureSession::RatingRole)
        || roles.contains(CaptureSession::ImageUuidRole))
        recountLater();
}

void CaptureModel::sourceDataChanged(QModelIndex index, QVector<int> roles)
{
    const QModelIndex mapped = mapFromSource(index);
    if (mapped.isValid())
        emit dataChanged(mapped, mapped, roles);
}

void CaptureModel::sourceSelectionChanged(QItemSelection selected, QItemSelection deselected)
{
    for (const QItemSelection& source : { selected, deselected })
        for (const QItemSelectionRange& range : mapSelectionFromSource(source))
            emit dataChanged(range.topLeft(), range.bottomRight(), { CaptureSession::SelectedRole });
}

void CaptureModel::updateSpaceEstimate(QModelIndex idx, bool checked)
{
    updateSourceSpaceEstimate(mapToSource(idx), checked);
}

void CaptureModel::updateSourceSpaceEstimate(QModelIndex sourceIndex, bool checked)
{
    m_selection.follow(sourceIndex, checked);
}

void CaptureModel::cleanUpSpace(QModelIndex parent, int first, int last)
{
    if (!parent.isValid())
        m_selection.rowsLeaving(first, last);
}

void CaptureModel::sourceRowsRemoved()
{
    emit deviceItemCountChanged();
}

// Counts

void CaptureModel::addFreshImageCount(int count)
{
    m_freshCount += count;
    emit freshImagesCountChanged();
}

void CaptureModel::addRatedImageCount(int count)
{
    m_ratedCount += count;
    emit ratedImagesCountChanged();
}

void CaptureModel::recountLater()
{
    if (m_recountPending)
        return;
    m_recountPending = true;
    QTimer::singleShot(0, this, &CaptureModel::recount);
}

// The counts are taken from the rows, not from the view's cells: a scrolling grid
// creates and destroys cells all the time.
void CaptureModel::recount()
{
    m_recountPending = false;
    int fresh = 0;
    int rated = 0;
    for (int row = 0; row < rowCount(); ++row) {
        const QModelIndex source = mapToSource(index(row, 0));
        fresh += isFresh(source) ? 1 : 0;
        rated += source.data(CaptureSession::RatingRole).toInt() > 0 ? 1 : 0;
    }
    if (fresh != m_freshCount) {
        m_freshCount = fresh;
        emit freshImagesCountChanged();
    }
    if (rated != m_ratedCount) {
        m_ratedCount = rated;
        emit ratedImagesCountChanged();
    }
}

// Settings of the view

void CaptureModel::setImportFolder(QUrl importFolder)
{
    if (m_importFolder == importFolder)
        return;
    m_importFolder = importFolder;
    emit importFolderChanged(importFolder);
}

void CaptureModel::setLowResFolder(QString lowResFolder)
{
    if (m_lowResFolder == lowResFolder)
        return;
    m_lowResFolder = lowResFolder;
    emit lowResFolderChanged();
}

void CaptureModel::setSortField(QString sortField)
{
    const QHash<int, QByteArray> names = m_session ? m_session->roleNames() : roleNames();
    const int role = names.key(sortField.toUtf8(), -1);
    if (role < 0) {
        qCWarning(lcCapture) << "No item role is named" << sortField;
        return;
    }
    m_sortField = sortField;
    setSortRole(role);
    emit sortFieldChanged();
}

void CaptureModel::setInvertSort(bool invert)
{
    if (invertSort() == invert)
        return;
    sort(0, invert ? Qt::DescendingOrder : Qt::AscendingOrder);
    emit invertSortChanged();
}

void CaptureModel::setMinRating(int minRating)
{
    if (m_minRating == minRating)
        return;
    m_minRating = minRating;
    invalidateFilter();
    emit minRatingChanged();
}

// The device

void CaptureModel::onEnumerated(bool enumerated)
{
    m_enumerated = enumerated;
    emit enumeratedChanged();
}

void CaptureModel::onCorrelated(bool correlated)
{
    m_correlated = correlated;
    emit correlatedChanged();
}

void CaptureModel::onDeviceLost()
{
    m_presetNames.clear();
    m_presets.clear();
    m_videos->clear();
    emit presetFilenamesChanged();
    switchSession(m_nil);
    emit notifyDeviceLost();
}

void CaptureModel::updateDeviceNames()
{
    emit deviceNameChanged();
}

void CaptureModel::onPresetFound(QString name, QString objectID, uint32_t size)
{
    if (!m_presets.contains(name))
        m_presetNames.append(name);
    m_presets.insert(name, Preset { objectID, size });
    emit presetFilenamesChanged();
}

void CaptureModel::syncPresets()
{
    if (!m_session)
        return;
    const QString folder = AppSettings::presetsFolderPath();
    if (!makeFolder(folder)) {
        qCWarning(lcCapture) << "Cannot create the presets folder" << folder;
        return;
    }
    for (auto it = m_presets.cbegin(); it != m_presets.cend(); ++it) {
        const QString path = folder + QDir::separator() + it.key();
        if (!QFileInfo::exists(path))
            m_session->providerForward16(path, it->objectID, it->size);
    }
}

bool CaptureModel::hasNewPresets() const
{
    const QString folder = AppSettings::presetsFolderPath();
    for (auto it = m_presets.cbegin(); it != m_presets.cend(); ++it)
        if (!QFileInfo::exists(folder + QDir::separator() + it.key()))
            return true;
    return false;
}

void CaptureModel::cancelPendingRequests()
{
    if (m_session)
        m_session->providerForward24();
}

void CaptureModel::eject()
{
    // Files of this camera still to be copied: an eject now would cut their copies.
    if (m_pipeline && !m_deviceId.isEmpty()
        && m_pipeline->hasRequests(QStringLiteral("transfer"), m_deviceId)) {
        qCInfo(lcCapture) << "Eject refused: an import still copies from" << m_deviceId;
        setEjectState(QStringLiteral("busy"));
        return;
    }
    cancelPendingRequests();
    if (!m_locator || !m_locator->canEject(m_deviceId))
        return;
    // The eject runs off the GUI thread; its end comes back through the devices model.
    setEjectState(QStringLiteral("ejecting"));
    m_locator->eject(m_deviceId);
}

void CaptureModel::setEjectState(const QString& state)
{
    if (m_ejectState == state)
        return;
    m_ejectState = state;
    emit ejectStateChanged();
}

bool CaptureModel::isPipelineEmpty() const
{
    return !m_pipeline || !m_pipeline->hasRequests();
}

QUrl CaptureModel::location(QModelIndex index) const
{
    return index.data(CaptureSession::LocationRole).toUrl();
}

// Import and removal

QList<QUrl> CaptureModel::transfer(bool markForRemove)
{
    if (!m_importFolder.isLocalFile() || m_importFolder.toLocalFile().isEmpty()) {
        // Never the current folder of the process.
        qCWarning(lcCapture) << "No import folder: nothing is imported" << m_importFolder;
        return {};
    }
    auto* batch = new RecipeBatch(QUuid::createUuid());
    batch->free = markForRemove;
    const QString folder = QDir(m_importFolder.toLocalFile()).absolutePath();
    if (!makeFolder(folder))
        qCWarning(lcCapture) << "Cannot create the import folder" << folder;
    QString lowRes = folder;
    if (!m_lowResFolder.isEmpty()) {
        lowRes = QDir(folder).filePath(m_lowResFolder);
        if (!makeFolder(lowRes))
            qCWarning(lcCapture) << "Cannot create the low-resolution folder" << lowRes;
    }
    batch->base = QUrl::fromLocalFile(folder + QLatin1Char('/'));
    batch->setProvider(QStringLiteral("transfer"));
    batch->setIoChannel(m_deviceId);
    batch->setEstimate(false);
    if (m_session && m_session->selectionModel())
        for (const QModelIndex& index : m_session->selectionModel()->selectedRows()) {
            m_session->itemFromRecord(batch, index, CaptureSession::StateRemoteIdRole, QDir(folder));
            m_session->itemFromRecord(batch, index, CaptureSession::RawRemoteIdRole, QDir(folder));
            m_session->itemFromRecord(batch, index, CaptureSession::ThmRemoteIdRole, QDir(lowRes));
        }
    const QUuid session = batch->session;
    if (!m_pipeline) {
        qCWarning(lcCapture) << "No pipeline: nothing is imported";
        delete batch;
        return {};
    }
    const int asked = batch->steps().size();
    RecipeBatch::submit(batch, m_pipeline, true);
    const QList<QUrl> files = m_pipeline->files(session);
    qCDebug(lcCapture) << "Transfer of" << files.size() << "files:" << files;
    if (files.size() < asked) {
        qCWarning(lcCapture) << asked - files.size() << "files of the transfer were not queued:"
                             << "other imports write files of their names into" << folder;
        emit filesNotQueued(asked - files.size());
    }
    return files;
}

void CaptureModel::removeSelectedItems()
{
    if (!m_session || !m_session->selectionModel())
        return;
    QList<QPersistentModelIndex> chosen;
    for (const QModelIndex& index : m_session->selectionModel()->selectedRows())
        chosen << index;
    for (const QPersistentModelIndex& index : qAsConst(chosen)) {
        // A picture queued for import keeps its files until they are copied.
        if (index.isValid() && index.data(CaptureSession::TransferringRole).toBool()
            && !index.data(CaptureSession::TransferredRole).toBool())
            continue;
        if (index.isValid())
            m_session->touchItem(index);
    }
}

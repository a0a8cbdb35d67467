#include "capture/capturefacade.h"

#include "capture/capturesession.h"
#include "capture/logging.h"
#include "capture/nilcapturesession.h"
#include "capture/volmonitor.h"
#include "capture/wincaptureproxy.h"
#include "core/appsettings.h"
#include "platform/portabledevice.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonObject>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QThread>

namespace {

// Longer folder names keep their start and a digest of the whole id, so that they stay
// within what a file system takes for one name.
constexpr int kMaxFolderBytes = 120;

QString digestOf(const QString& text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex().left(12));
}

// The manager goes on its own thread (its notifiers belong there), whichever thread lets
// go of it last.
std::shared_ptr<IPortableDeviceManager> shareManager(IPortableDeviceManager* manager)
{
    if (!manager)
        return nullptr;
    return std::shared_ptr<IPortableDeviceManager>(manager, [](IPortableDeviceManager* m) {
        if (m->thread() == QThread::currentThread())
            delete m;
        else
            m->deleteLater();
    });
}

} // namespace

CaptureFacade::CaptureFacade(QObject* parent)
    : CaptureFacade(nullptr, parent)
{ }

CaptureFacade::CaptureFacade(IPortableDeviceManager* manager, QObject* parent)
    : QStandardItemModel(parent)
    , m_manager(shareManager(manager))
{
    if (m_manager)
        m_manager->setParent(nullptr);
    m_volMonitor = new VolMonitor(this);
    m_volMonitor->setMarker(QStringLiteral("queltcal"));
    m_volMonitor->setNaming(QStringLiteral("%1 (%2)"));
    connectListener(m_volMonitor);
    connect(m_volMonitor, &VolMonitor::ejectFinished, this, &CaptureFacade::ejectFinished);
    m_wpdProxy = new WinCaptureProxy(m_manager, this);
    connectListener(m_wpdProxy);
    connect(this, &QAbstractItemModel::rowsInserted, this, &CaptureFacade::countChanged);
    connect(this, &QAbstractItemModel::rowsRemoved, this, &CaptureFacade::countChanged);
    m_wpdProxy->start();
}

CaptureFacade::~CaptureFacade()
{
    // Every session tells the pipeline its channel is gone before the transports go.
    const QList<CaptureSession*> sessions = m_sessions.values();
    m_sessions.clear();
    for (CaptureSession* session : sessions)
        session->onDeviceLost();
    for (CaptureSession* session : sessions)
        delete session;
    m_wpdProxy->stop();
    delete m_wpdProxy;
    m_wpdProxy = nullptr;
    delete m_volMonitor;
    m_volMonitor = nullptr;
    m_manager.reset();
}

void CaptureFacade::connectListener(CaptureListener* listener)
{
    connect(listener, &CaptureListener::notifyCaptureDeviceFound, this, &CaptureFacade::onCaptureDeviceFound);
    connect(
        listener, &CaptureListener::notifyCaptureDeviceUpdated, this, &CaptureFacade::onCaptureDeviceUpdated);
    connect(listener, &CaptureListener::notifyCaptureDeviceLost, this, &CaptureFacade::onCaptureDeviceLost);
}

QHash<int, QByteArray> CaptureFacade::roleNames() const
{
    return { { DeviceIdRole, "deviceId" }, { NameRole, "name" } };
}

void CaptureFacade::setPipeline(IPipeline* pipeline)
{
    if (m_pipeline == pipeline)
        return;
    m_pipeline = pipeline;
    IProvider::setPipeline(this, pipeline);
    emit pipelineChanged();
}

void CaptureFacade::setFilePerm(FilePerm* filePerm)
{
    if (m_filePerm == filePerm)
        return;
    m_filePerm = filePerm;
    emit filePermChanged();
}

void CaptureFacade::setBailiff(IBailiff* bailiff)
{
    if (m_bailiff == bailiff)
        return;
    m_bailiff = bailiff;
    emit bailiffChanged();
}

void CaptureFacade::onCaptureDeviceFound(CaptureDevice device)
{
    auto* item = new QStandardItem;
    item->setData(device.deviceId, DeviceIdRole);
    item->setData(device.name, NameRole);
    item->setData(device.transport, TransportRole);
    appendRow(item);
}

void CaptureFacade::onCaptureDeviceUpdated(CaptureDevice device)
{
    for (int row = 0; row < rowCount(); ++row) {
        QStandardItem* it = item(row);
        if (it->data(DeviceIdRole).toString() == device.deviceId)
            it->setData(device.name, NameRole);
    }
}

void CaptureFacade::onCaptureDeviceLost(CaptureDevice device)
{
    for (int row = 0; row < rowCount();) {
        if (item(row)->data(DeviceIdRole).toString() == device.deviceId)
            removeRow(row);
        else
            ++row;
    }
    CaptureSession* session = m_sessions.take(device.deviceId);
    if (!session)
        return;
    // The session stops its transport, tells the pipeline the channel is gone and
    // announces the loss once; it goes after the reports on their way to it.
    session->onDeviceLost();
    session->deleteLater();
}

int CaptureFacade::transportOf(const QString& deviceId) const
{
    for (int row = 0; row < rowCount(); ++row) {
        const QStandardItem* it = item(row);
        if (it->data(DeviceIdRole).toString() == deviceId)
            return it->data(TransportRole).toInt();
    }
    return 2;
}

QString CaptureFacade::folderName(const QString& deviceId)
{
    static const QRegularExpression nonWord(
        QStringLiteral("\\W+"), QRegularExpression::UseUnicodePropertiesOption);
    QString name = deviceId.split(nonWord, Qt::SkipEmptyParts).join(QLatin1Char('_'));
    // Only word characters remain, so never "." or ".."; an id without any still needs a
    // folder of its own.
    if (name.isEmpty())
        name = QStringLiteral("device_") + digestOf(deviceId);
    else if (name.toUtf8().size() > kMaxFolderBytes)
        name = name.left(kMaxFolderBytes / 4 - 1) + QLatin1Char('_') + digestOf(deviceId);
    return name;
}

bool CaptureFacade::prepareFolders(CaptureRequest& request) const
{
    const QString name = folderName(request.deviceId);
    // An unset root would put the device's files in the working folder.
    auto enter = [&name](const QString& root, QDir* dir) {
        *dir = QDir(root);
        if (root.isEmpty() || !dir->mkpath(name) || !dir->cd(name)) {
            qCWarning(lcCapture) << "Failed to navigate to" << root << name;
            return false;
        }
        return true;
    };
    QDir cache, data;
    if (!enter(AppSettings::fileCacheFolder(), &cache) || !enter(AppSettings::dataStoreFolder(), &data))
        return false;
    request.cache = cache;
    request.data = data;
    // A reserved file from an earlier connection is never read again.
    for (const QString& reserved : qAsConst(request.reserved))
        data.remove(reserved);
    return true;
}

CaptureSession* CaptureFacade::openSession(QString deviceId)
{
    if (CaptureSession* open = m_sessions.value(deviceId))
        return open;
    CaptureRequest request { deviceId, QDir(), QDir(), m_reserved };
    SessionFactory factory;
    const int transport = transportOf(deviceId);
    if (transport == CaptureDevice::kVolumeGroup) {
        factory = [monitor = m_volMonitor](const CaptureRequest& r, SessionListener* listener) {
            return monitor->createSession(r, listener);
        };
    } else if (transport == CaptureDevice::kPortableDevice) {
        if (!prepareFolders(request))
            return new NilCaptureSession;
        factory = [proxy = m_wpdProxy](const CaptureRequest& r, SessionListener* listener) {
            return proxy->createSession(r, listener);
        };
    } else {
        qCWarning(lcCapture) << "Undefined import transport #" << transport << deviceId;
        return new NilCaptureSession;
    }
    auto* session = new CaptureSession(factory, request, m_sink, m_bailiff, this);
    // QML must never collect a session the model keeps.
    QQmlEngine::setObjectOwnership(session, QQmlEngine::CppOwnership);
    m_sessions.insert(deviceId, session);
    connect(session, &CaptureSession::notifyReserved, this, &CaptureFacade::notifyReserved);
    session->onEnumerated(session->isEnumerated());
    return session;
}

void CaptureFacade::preload()
{
    QStringList ids;
    for (int row = 0; row < rowCount(); ++row) {
        const QString id = item(row)->data(DeviceIdRole).toString();
        if (!m_sessions.contains(id) && !ids.contains(id))
            ids << id;
    }
    for (const QString& id : qAsConst(ids)) {
        CaptureSession* session = openSession(id);
        // A device that cannot be opened gets nothing kept.
        if (session && session->parent() != this)
            delete session;
    }
}

QString CaptureFacade::defaultDeviceId() const
{
    return rowCount() > 0 ? item(0)->data(DeviceIdRole).toString() : QString(QLatin1String(""));
}

QString CaptureFacade::defaultDeviceName() const
{
    return rowCount() > 0 ? item(0)->data(NameRole).toString() : QString(QLatin1String(""));
}

bool CaptureFacade::canEject(QString deviceId) const
{
    return transportOf(deviceId) == CaptureDevice::kVolumeGroup;
}

QString CaptureFacade::deviceName(QString deviceId) const
{
    if (deviceId.isNull())
        return QString();
    for (int row = 0; row < rowCount(); ++row) {
        const QStandardItem* it = item(row);
        if (it->data(DeviceIdRole).toString() == deviceId)
            return it->data(NameRole).toString();
    }
    return QString(QLatin1String(""));
}

void CaptureFacade::eject(QString deviceId)
{
    m_volMonitor->eject(deviceId);
}

int CaptureFacade::capacity(QString ioChannel)
{
    CaptureSession* session = m_sessions.value(ioChannel);
    return session ? session->capacity(ioChannel) : 1;
}

void CaptureFacade::attach(IFileSink* sink)
{
    m_sink = sink;
    for (CaptureSession* session : qAsConst(m_sessions))
        session->attach(sink);
}

IProvider::Validator CaptureFacade::validator()
{
    return [](const QUrl& target, const Recipe& recipe) {
        return recipe.estimate || QFileInfo(target.toLocalFile()).size() == recipe.fileSize;
    };
}

bool CaptureFacade::adopt(QUrl target, Recipe recipe)
{
    CaptureSession* session = sessionFor(recipe);
    if (!session || !validator()(target, recipe))
        return false;
    return session->adopt(target, recipe);
}

void CaptureFacade::fetch(QUrl target, Recipe recipe, Arbiter arbiter)
{
    if (CaptureSession* session = sessionFor(recipe))
        session->fetch(target, recipe, arbiter);
    else if (m_sink)
        m_sink->onObstacle(target, recipe, IFileSink::IOError);
}

void CaptureFacade::freeImage(Recipe recipe, QUuid imageUuid, QModelIndex index)
{
    CaptureSession* session = sessionFor(recipe);
    if (session && index.model() == session)
        session->freeImage(recipe, imageUuid, index);
}

void CaptureFacade::imageChanged(Recipe recipe, QUuid imageUuid, QModelIndex index, IHarvest* harvest)
{
    CaptureSession* session = sessionFor(recipe);
    if (session && index.model() == session)
        session->imageChanged(recipe, imageUuid, index, harvest);
}

bool CaptureFacade::isRaw(Recipe recipe)
{
    return recipe.recipe.object().value(QStringLiteral("type")).toString() == QLatin1String("vrx");
}

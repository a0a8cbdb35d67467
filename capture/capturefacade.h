#pragma once

#include "capture/capturedevice.h"
#include "capture/capturerequest.h"
#include "engine/fileperm.h"
#include "pipeline/interfaces/ibailiff.h"
#include "pipeline/ipipeline.h"
#include "pipeline/iprovider.h"

#include <QMap>
#include <QPointer>
#include <QStandardItemModel>
#include <QStringList>

#include <memory>

class CaptureListener;
class CaptureSession;
class IPortableDeviceManager;
class VolMonitor;
class WinCaptureProxy;

// The connected cameras, one row each, and the one source the transfer pipeline knows
// for camera files (route "transfer"): every pipeline call goes to the session of the
// device its recipe's ioChannel names. Owns both transports (portable devices and USB
// volume groups) and one session per opened device. GUI thread only.
class CaptureFacade : public QStandardItemModel, public IProvider
{
    Q_OBJECT
    Q_PROPERTY(IPipeline* pipeline READ pipeline WRITE setPipeline NOTIFY pipelineChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(FilePerm* filePerm READ filePerm WRITE setFilePerm NOTIFY filePermChanged)
    Q_PROPERTY(IBailiff* bailiff READ bailiff WRITE setBailiff NOTIFY bailiffChanged)
    Q_PROPERTY(VolMonitor* volMonitor READ volMonitor CONSTANT)
public:
    enum Roles {
        DeviceIdRole = Qt::UserRole + 1, // 257: CaptureDevice::deviceId
        NameRole, // 258: CaptureDevice::name
        TransportRole, // 259: CaptureDevice::transport (no role name)
    };
    Q_ENUM(Roles)

    // Without a portable-device manager: only USB volume groups are found.
    explicit CaptureFacade(QObject* parent = nullptr);
    // Finds portable devices through `manager`, which the model takes (a refresh or an open
    // that is still under way when the model goes keeps it until it ends).
    explicit CaptureFacade(IPortableDeviceManager* manager, QObject* parent = nullptr);
    ~CaptureFacade() override;

    IPipeline* pipeline() const { return m_pipeline; }
    // Attaches the model to the pipeline and registers it under "transfer".
    void setPipeline(IPipeline* pipeline);
    int count() const { return rowCount(); }
    FilePerm* filePerm() const { return m_filePerm; }
    void setFilePerm(FilePerm* filePerm);
    IBailiff* bailiff() const { return m_bailiff; }
    void setBailiff(IBailiff* bailiff);
    VolMonitor* volMonitor() const { return m_volMonitor; }
    WinCaptureProxy* portableDevices() const { return m_wpdProxy; }

    QHash<int, QByteArray> roleNames() const override;

    // The session of the device. A session for a listed device is kept (one per device,
    // returned again on later calls) and owned by this model, which deletes it when the
    // device goes. A device that cannot be opened (folders that cannot be made, no row,
    // an unknown transport) gets a new, empty session that is not kept and has no parent:
    // the caller owns it (QML collects it like any object it was handed).
    Q_INVOKABLE CaptureSession* openSession(QString deviceId);
    CaptureSession* session(const QString& deviceId) const { return m_sessions.value(deviceId); }
    // Opens a session for every listed device that has none.
    Q_INVOKABLE void preload();
    Q_INVOKABLE QString defaultDeviceId() const;
    Q_INVOKABLE QString defaultDeviceName() const;

    // For the capture model.
    Q_INVOKABLE bool canEject(QString deviceId) const;
    Q_INVOKABLE QString deviceName(QString deviceId) const;
    Q_INVOKABLE void eject(QString deviceId);

    // The name of a device's folder in the data store and file cache: the id's runs of
    // letters, digits and "_" joined with "_"; never empty, "." or "..".
    static QString folderName(const QString& deviceId);

    // IProvider
    int capacity(QString ioChannel) override;
    QString routeKey() override { return QStringLiteral("transfer"); }
    void attach(IFileSink* sink) override;
    Validator validator() override;
    bool adopt(QUrl target, Recipe recipe) override;
    void fetch(QUrl target, Recipe recipe, Arbiter arbiter) override;
    bool reclaim(QUrl, Recipe) override { return false; }
    void freeImage(Recipe recipe, QUuid imageUuid, QModelIndex index) override;
    void imageChanged(Recipe recipe, QUuid imageUuid, QModelIndex index, IHarvest* harvest) override;
    bool isRaw(Recipe recipe) override;
    bool isManaged(Recipe recipe) override { return isRaw(recipe); }

signals:
    void pipelineChanged();
    void countChanged();
    void filePermChanged();
    void bailiffChanged();
    // A reserved file of a device ("hotpixel.rec", "metadata.xml") is available locally.
    void notifyReserved(QString specialName, QUrl specialFile);
    // The eject of a device is over (relayed from the volume monitor).
    void ejectFinished(QString deviceId, bool ejected);

public slots:
    void onCaptureDeviceFound(CaptureDevice device);
    void onCaptureDeviceUpdated(CaptureDevice device);
    void onCaptureDeviceLost(CaptureDevice device);

private:
    void connectListener(CaptureListener* listener);
    int transportOf(const QString& deviceId) const;
    // Makes the device's cache and data folders; false when one cannot be entered.
    bool prepareFolders(CaptureRequest& request) const;
    CaptureSession* sessionFor(const Recipe& recipe) const { return m_sessions.value(recipe.ioChannel); }

    const QStringList m_reserved { QStringLiteral("hotpixel.rec"), QStringLiteral("metadata.xml") };
    VolMonitor* m_volMonitor = nullptr;
    WinCaptureProxy* m_wpdProxy = nullptr;
    // Shared with the device refresh and the opens under way, which may outlive this model.
    std::shared_ptr<IPortableDeviceManager> m_manager;
    QMap<QString, CaptureSession*> m_sessions;
    QPointer<IPipeline> m_pipeline;
    QPointer<IFileSink> m_sink;
    QPointer<FilePerm> m_filePerm;
    IBailiff* m_bailiff = nullptr;
};

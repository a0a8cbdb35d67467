#pragma once

#include "capture/capturefacade.h"
#include "capture/captureselection.h"
#include "capture/capturesession.h"
#include "capture/hasbeenmodel.h"
#include "capture/videosmodel.h"
#include "core/progressmodel.h"
#include "pipeline/ipipeline.h"

#include <QHash>
#include <QItemSelection>
#include <QPointer>
#include <QSortFilterProxyModel>
#include <QStringList>
#include <QUrl>
#include <QUuid>

#include <cstdint>

// What the import view shows of the chosen camera: the pictures of its capture session,
// filtered by rating and sorted by one of the session's roles; the user's selection with
// the space it needs; the import of the selection as one batch of the pipeline; the
// camera's presets and videos. While no camera is chosen it shows an empty session.
class CaptureModel : public QSortFilterProxyModel
{
    Q_OBJECT
    Q_PROPERTY(CaptureFacade* deviceLocator READ deviceLocator WRITE setDeviceLocator)
    Q_PROPERTY(IPipeline* pipeline READ pipeline WRITE setPipeline)
    Q_PROPERTY(HasBeenModel* beenModel READ beenModel WRITE setBeenModel)
    Q_PROPERTY(QString deviceId READ deviceId WRITE setDeviceId NOTIFY deviceIdChanged)
    Q_PROPERTY(QUuid deviceUUID READ deviceUUID NOTIFY deviceIdChanged)
    Q_PROPERTY(QString deviceName READ deviceName NOTIFY deviceNameChanged)
    Q_PROPERTY(QString sortField READ sortField WRITE setSortField NOTIFY sortFieldChanged)
    Q_PROPERTY(bool invertSort READ invertSort WRITE setInvertSort NOTIFY invertSortChanged)
    Q_PROPERTY(bool enumerated READ enumerated NOTIFY enumeratedChanged)
    Q_PROPERTY(bool correlated READ correlated NOTIFY correlatedChanged)
    Q_PROPERTY(int count READ count NOTIFY itemCountChanged)
    Q_PROPERTY(int deviceItemCount READ deviceItemCount NOTIFY deviceItemCountChanged)
    Q_PROPERTY(int minRating READ minRating WRITE setMinRating NOTIFY minRatingChanged)
    Q_PROPERTY(bool autoselect READ autoselect NOTIFY autoselectChanged)
    Q_PROPERTY(QItemSelectionModel* sourceSelectionModel READ sourceSelectionModel NOTIFY deviceIdChanged)
    Q_PROPERTY(QUrl importFolder READ importFolder WRITE setImportFolder NOTIFY importFolderChanged)
    Q_PROPERTY(QString lowResFolder READ lowResFolder WRITE setLowResFolder NOTIFY lowResFolderChanged)
    Q_PROPERTY(ProgressModel* spaceEstimate READ spaceEstimate CONSTANT)
    Q_PROPERTY(bool canEject READ canEject NOTIFY deviceIdChanged)
    Q_PROPERTY(int freshImagesCount READ freshImagesCount NOTIFY freshImagesCountChanged)
    Q_PROPERTY(int ratedImagesCount READ ratedImagesCount NOTIFY ratedImagesCountChanged)
    Q_PROPERTY(QStringList presetFilenames READ presetFilenames NOTIFY presetFilenamesChanged)
    Q_PROPERTY(VideosModel* videosModel READ videosModel CONSTANT)
    // "preloading" (no device chosen), "loading" (its pictures are being listed and their
    // previews read), "failed" (the device cannot be read) or "loaded".
    Q_PROPERTY(QString loadingState READ loadingState NOTIFY loadingStateChanged)
    // The last eject of this device: "" (none), "ejecting", "ejected", "failed", or "busy"
    // (refused: an import still copies from it).
    Q_PROPERTY(QString ejectState READ ejectState NOTIFY ejectStateChanged)

public:
    explicit CaptureModel(QObject* parent = nullptr);
    ~CaptureModel() override;

    CaptureFacade* deviceLocator() const { return m_locator; }
    void setDeviceLocator(CaptureFacade* locator);
    IPipeline* pipeline() const { return m_pipeline; }
    void setPipeline(IPipeline* pipeline) { m_pipeline = pipeline; }
    HasBeenModel* beenModel() const { return m_beenModel; }
    void setBeenModel(HasBeenModel* model);

    QString deviceId() const { return m_deviceId; }
    QUuid deviceUUID() const;
    QString deviceName() const;
    QString sortField() const { return m_sortField; }
    bool invertSort() const { return sortOrder() == Qt::DescendingOrder; }
    bool enumerated() const { return m_enumerated; }
    bool correlated() const { return m_correlated; }
    int count() const { return rowCount(); }
    int deviceItemCount() const;
    int minRating() const { return m_minRating; }
    bool autoselect() const { return m_selection.autoselect(); }
    QItemSelectionModel* sourceSelectionModel() const;
    QUrl importFolder() const { return m_importFolder; }
    QString lowResFolder() const { return m_lowResFolder; }
    ProgressModel* spaceEstimate() const { return m_estimate; }
    bool canEject() const;
    int freshImagesCount() const { return m_freshCount; }
    int ratedImagesCount() const { return m_ratedCount; }
    QStringList presetFilenames() const { return m_presetNames; }
    VideosModel* videosModel() const { return m_videos; }
    QString loadingState() const;
    QString ejectState() const { return m_ejectState; }
    // The session shown: the camera's or the empty one.
    CaptureSession* session() const { return m_session; }

    Q_INVOKABLE void startBlind();
    Q_INVOKABLE void setDeviceId(QString deviceId);
    Q_INVOKABLE void selectManual(int row, bool checked, bool isMultiSelect);
    Q_INVOKABLE void selectIndex(QModelIndex idx, bool checked);
    Q_INVOKABLE void selectAll();
    Q_INVOKABLE void selectRated();
    Q_INVOKABLE void selectNew();
    Q_INVOKABLE void selectNone();
    Q_INVOKABLE void toManualMode();
    Q_INVOKABLE QUrl location(QModelIndex index) const;
    Q_INVOKABLE void addFreshImageCount(int count);
    Q_INVOKABLE void addRatedImageCount(int count);
    // Queues the selected pictures for import into the import folder (previews into its
    // low-resolution folder) as one new pipeline session; answers that session's files.
    // Files the pipeline refuses (another import writes files of the same names there)
    // are told by filesNotQueued.
    Q_INVOKABLE QList<QUrl> transfer(bool markForRemove);
    Q_INVOKABLE void removeSelectedItems();
    Q_INVOKABLE bool isPipelineEmpty() const;
    Q_INVOKABLE void cancelPendingRequests();
    Q_INVOKABLE void eject();
    Q_INVOKABLE void syncPresets();
    // Whether the device holds a preset that the presets folder lacks.
    Q_INVOKABLE bool hasNewPresets() const;

public slots:
    void setImportFolder(QUrl importFolder);
    void setLowResFolder(QString lowResFolder);
    void setSortField(QString sortField);
    void setInvertSort(bool invert);
    void setMinRating(int minRating);
    void onPresetFound(QString name, QString objectID, uint32_t size);
    void updateDeviceNames();
    void sourceRowsRemoved();
    void sourceDataChanged(QModelIndex index, QVector<int> roles);
    void cleanUpSpace(QModelIndex parent, int first, int last);
    void itemDataChanged(QModelIndex tl, QModelIndex br, QVector<int> roles);
    void selectNewRows(QModelIndex parent, int first, int last);
    void onEnumerated(bool enumerated);
    void onCorrelated(bool correlated);
    void sourceSelectionChanged(QItemSelection selected, QItemSelection deselected);
    void updateSpaceEstimate(QModelIndex idx, bool checked);
    void updateSourceSpaceEstimate(QModelIndex sourceIndex, bool checked);
    void onDeviceLost();

signals:
    // `count` files of a transfer were not queued: their names are taken in the folder by
    // files another import (another camera) is writing.
    void filesNotQueued(int count);
    void freshImagesCountChanged();
    void ratedImagesCountChanged();
    void presetFilenamesChanged();
    void deviceIdChanged();
    void deviceNameChanged();
    void sortFieldChanged();
    void itemCountChanged();
    void deviceItemCountChanged();
    void deviceFound();
    void enumeratedChanged();
    void correlatedChanged();
    void notifyDeviceLost();
    void importFolderChanged(QUrl importFolder);
    void lowResFolderChanged();
    void invertSortChanged();
    void minRatingChanged();
    void autoselectChanged();
    void loadingStateChanged();
    void ejectStateChanged();
    // A click or a range passed over pictures queued for import (`range`: the range's
    // other pictures were chosen).
    void queuedNotSelected(bool range);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    struct Preset
    {
        QString objectID;
        uint32_t size = 0;
    };

    void switchSession(CaptureSession* session);
    void setEjectState(const QString& state);
    void setFlags(bool enumerated, bool correlated);
    bool isFresh(const QModelIndex& sourceIndex) const;
    // Counts the fresh and rated pictures shown, once the current event is done.
    void recountLater();
    void recount();

    QPointer<CaptureFacade> m_locator;
    QString m_ejectState;
    QPointer<IPipeline> m_pipeline;
    QPointer<HasBeenModel> m_beenModel;
    // Whether a picture was imported before, by image UUID, as the store answered.
    mutable QHash<QUuid, bool> m_imported;
    CaptureSession* m_nil;
    QPointer<CaptureSession> m_session;
    QList<QMetaObject::Connection> m_connections;
    QString m_deviceId;
    QUrl m_importFolder;
    QString m_lowResFolder;
    int m_minRating = 0;
    QString m_sortField;
    bool m_enumerated = false;
    bool m_correlated = false;
    int m_freshCount = 0;
    int m_ratedCount = 0;
    bool m_recountPending = false;
    QStringList m_presetNames;
    QHash<QString, Preset> m_presets;
    ProgressModel* m_estimate;
    CaptureSelection m_selection;
    VideosModel* m_videos;
};

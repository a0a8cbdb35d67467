#pragma once

#include "ciapi/image.h"
#include "display/imagegeometry.h"
#include "display/imageservicepointer.h"
#include "display/levelplanner.h"
#include "display/redrawthrottle.h"
#include "display/viewnavigator.h"
#include "engine/depthclient.h"

#include <QBasicTimer>
#include <QDateTime>
#include <QPointer>
#include <QQuickItem>
#include <QRegion>
#include <QSize>
#include <QUrl>

#include <vector>

class GeometryEdits;
class ImageEditor;
class ImageProperties;
class ProgressModel;

// The editor's canvas: one picture at any zoom. It asks the engine only for the blocks of
// the pyramid levels that are visible at the resolution the screen needs, tracks how
// complete the shown picture is, coalesces redraws after property changes, and hosts the
// crop overlay of its geometry tool.
class ImageEditItem : public QQuickItem, public DepthClient
{
    Q_OBJECT
    Q_PROPERTY(QObject* locator READ locator WRITE setLocator)
    Q_PROPERTY(ImageProperties* properties READ properties NOTIFY propertiesChanged)
    Q_PROPERTY(bool captureKnown READ captureKnown NOTIFY propertiesChanged)
    Q_PROPERTY(float exposureTime READ exposureTime NOTIFY propertiesChanged)
    Q_PROPERTY(float evOffset READ evOffset NOTIFY propertiesChanged)
    Q_PROPERTY(int focalLength READ focalLength NOTIFY propertiesChanged)
    Q_PROPERTY(int isoFilmSpeed READ isoFilmSpeed NOTIFY propertiesChanged)
    Q_PROPERTY(QSize resolution READ resolution NOTIFY propertiesChanged)
    Q_PROPERTY(QDateTime captureDate READ captureDate NOTIFY propertiesChanged)
    Q_PROPERTY(QString location READ location WRITE setLocation NOTIFY locationChanged)
    Q_PROPERTY(QString fileName READ fileName NOTIFY locationChanged)
    Q_PROPERTY(QString filePath READ filePath NOTIFY locationChanged)
    Q_PROPERTY(bool loading READ loading NOTIFY loadingChanged)
    Q_PROPERTY(ProgressModel* renderProgress READ renderProgress CONSTANT)
    Q_PROPERTY(int maxZoomLogLevel READ maxZoomLogLevel CONSTANT)
    Q_PROPERTY(int minZoomLogLevel READ minZoomLogLevel CONSTANT)
    Q_PROPERTY(double zoomLogLevel READ zoomLogLevel WRITE setZoomLogLevel NOTIFY zoomLevelChanged)
    Q_PROPERTY(double zoomLevel READ zoomLevel WRITE setZoomLevel NOTIFY zoomLevelChanged)
    Q_PROPERTY(int rating READ rating WRITE setRating NOTIFY ratingChanged)
    Q_PROPERTY(GeometryEdits* geometryEdits READ geometryEdits CONSTANT)
    Q_PROPERTY(ImageQuality imageQuality READ imageQuality WRITE setImageQuality NOTIFY imageQualityChanged)
    Q_PROPERTY(EditorMode editorMode READ editorMode WRITE setEditorMode NOTIFY editorModeChanged)

public:
    enum ImageQuality { Loading = 0, Preview = 1, Good = 2, Best = 3 };
    Q_ENUM(ImageQuality)
    // The canvas's own modes; the depth tools add theirs after these.
    enum EditorMode { None = 0, Crop = 1 };
    Q_ENUM(EditorMode)

    static constexpr int kMaxZoomLogLevel = ViewNavigator::kMaxZoomLogLevel;
    static constexpr int kMinZoomLogLevel = ViewNavigator::kMinZoomLogLevel;
    static constexpr int kRefreshMs = RedrawThrottle::kRefreshMs;
    // Edits of the open picture reach its state file this long after the last change.
    static constexpr int kSaveDelayMs = 2000;

    explicit ImageEditItem(QQuickItem* parent = nullptr);
    ~ImageEditItem() override;

    // The image service: any object that implements IImageService.
    QObject* locator() const { return m_locator.object(); }
    void setLocator(QObject* locator);
    ImageProperties* properties() const;
    bool captureKnown() const { return m_viewer != nullptr; }
    float exposureTime() const { return m_exposureTime; }
    float evOffset() const { return m_evOffset; }
    int focalLength() const { return m_focalLength; }
    int isoFilmSpeed() const { return m_isoFilmSpeed; }
    QSize resolution() const;
    QDateTime captureDate() const { return m_captureDate; }
    QString location() const { return m_location.toString(); }
    void setLocation(const QString& location);
    QString fileName() const;
    QString filePath() const { return m_location.toLocalFile(); }
    bool loading() const;
    ProgressModel* renderProgress() const { return m_renderProgress; }
    int maxZoomLogLevel() const { return kMaxZoomLogLevel; }
    int minZoomLogLevel() const { return kMinZoomLogLevel; }
    double zoomLogLevel() const { return m_navigator.zoomLogLevel(); }
    void setZoomLogLevel(double n);
    double zoomLevel() const { return double(m_navigator.zoom()); }
    void setZoomLevel(double x);
    int rating() const;
    void setRating(int rating);
    GeometryEdits* geometryEdits() const { return m_geometryEdits; }
    ImageQuality imageQuality() const { return m_imageQuality; }
    void setImageQuality(ImageQuality quality);
    EditorMode editorMode() const { return m_editorMode; }
    void setEditorMode(EditorMode mode);

    ImageEditor* viewer() const { return m_viewer; }
    const ImageGeometry& geometry() const { return m_geometry; }
    const CIAPI::ImagePyramid& pyramid() const { return m_pyramid; }
    int currentLevel() const { return m_geometry.level(); }
    const std::vector<QRegion>& askedRegions() const { return m_planner.asked(); }
    const std::vector<QRegion>& receivedRegions() const { return m_planner.received(); }
    bool isRefreshPending() const { return m_redraws.checkPending(); }
    bool isSavePending() const { return m_saveTimer.isActive(); }

    // DepthClient
    QObject* object() override { return this; }
    void imageOutput(const VrxMessage& message) override;
    void fileInvalid(QUrl location) override;
    void routerDetached(ImageRouter* router) override;
    void attachEditor(ImageEditor* editor) override;

public slots:
    void zoomIn();
    void zoomOut();
    void center();
    void fitInView();
    void resetGeometry();
    void setCurrentLevel(int level);
    bool isValidPoint(float x, float y) const;
    bool isValidMouse(double x, double y) const;
    void serializeCurrentFile();
    void flushTransformation();

signals:
    void propertiesChanged();
    void locationChanged();
    void loadingChanged();
    void zoomLevelChanged(double zoomLogLevel);
    void ratingChanged();
    void imageQualityChanged();
    void editorModeChanged(EditorMode mode);
    void renderModeChanged();
    void brushRadiusChanged();
    void grabbedMouseMoved(double x, double y, bool inside);

protected:
    QSGNode* updatePaintNode(QSGNode* old, UpdatePaintNodeData* data) override;
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void hoverMoveEvent(QHoverEvent* event) override;
    void hoverLeaveEvent(QHoverEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void releaseResources() override;

private slots:
    void viewChanged();
    void applyCropZoom();
    void updateCenter();
    void imageMoved();
    void updateTransformation();
    void rotateUserPosition(bool rightRotation);
    void mirrorUserPosition(bool horizontal);
    void requestRedraw();
    void updateTransform();

private:
    void loadLocation();
    void releaseLocation();
    void detachEditor();
    void setPyramid(const CIAPI::ImagePyramid& pyramid);
    void takePyramid(const CIAPI::ImagePyramid& pyramid);
    void resetLevelRegions();
    // Throws std::runtime_error("Bad level request") for a level the pyramid lacks.
    void updateLevelRegions();
    // The Qt-facing form: a bad level request is logged and dropped.
    void requestLevelRegions();
    void requestLevelRegion(int level);
    void markRegionDirty(const CIAPI::ROI& rect, int level);
    void updateRenderProgress(int level);
    void refresh();
    // Writes the open picture's unsaved edits; renders cut short by it are asked again.
    void saveEdits();
    bool viewerShowsLocation() const;
    QPointF cropCentre() const;
    double devicePixelRatio() const;
    QPointF toPicture(const QPointF& itemPoint) const;
    void updateCursor();
    int coarsestLevel() const { return m_planner.coarsestLevel(); }

    ImageServicePointer m_locator;
    QUrl m_location;
    ImageEditor* m_viewer = nullptr;
    ImageProperties* m_defaultProperties;
    CIAPI::ImagePyramid m_pyramid;
    LevelPlanner m_planner;
    ProgressModel* m_renderProgress;
    ImageQuality m_imageQuality = Loading;
    ImageGeometry m_geometry;
    ViewNavigator m_navigator { m_geometry };
    QPointF m_pressPoint;
    QPointF m_mousePos { -1, -1 };
    RedrawThrottle m_redraws;
    QBasicTimer m_saveTimer;
    GeometryEdits* m_geometryEdits;
    EditorMode m_editorMode = None;
    QSize m_resolution;
    float m_exposureTime = 0.f;
    float m_evOffset = 0.f;
    int m_focalLength = 0;
    int m_isoFilmSpeed = 0;
    QDateTime m_captureDate;
    QMetaObject::Connection m_ratingConnection;
    QMetaObject::Connection m_changedConnection;
    QMetaObject::Connection m_transformConnection;
};

#pragma once

#include "ciapi/deptheditor.h"
#include "ciapi/image.h"
#include "display/canvashistogram.h"
#include "display/imageedit.h"
#include "display/imageeditstate.h"
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

#include <functional>
#include <vector>

namespace CIAPI {
class DepthEditor;
}
class GeometryEdits;
class ImageEditor;
class ImagePlanesNode;
class ImageProperties;
class ProgressModel;

// The editor's canvas: one picture at any zoom. It asks the engine only for the blocks of
// the pyramid levels that are visible at the resolution the screen needs, tracks how
// complete the shown picture is, coalesces redraws after property changes, and hosts the
// crop overlay of its geometry tool and the depth tools (refocus, brush, heals, quick
// select, lasso; their part lives in imageedititemdepth.cpp). The view, the editor modes
// and the pointer input live in imageedititemview.cpp; the histogram's counts are kept by
// a CanvasHistogram.
class ImageEditItem : public QQuickItem, public DepthClient, public ImageEditState
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
    Q_PROPERTY(QString exposure READ exposure NOTIFY propertiesChanged)
    Q_PROPERTY(QVariantList histogram READ histogram NOTIFY histogramChanged)
    Q_PROPERTY(ImageEdit::EditorMode editorMode READ editorMode WRITE setEditorMode NOTIFY editorModeChanged)
    Q_PROPERTY(ImageEdit::RenderMode renderMode READ renderMode WRITE setRenderMode NOTIFY renderModeChanged)
    Q_PROPERTY(ImageEdit::PickerMode pickerMode READ pickerMode WRITE setPickerMode NOTIFY pickerModeChanged)
    Q_PROPERTY(bool updatingDepth READ updatingDepth NOTIFY updatingDepthChanged)
    Q_PROPERTY(int depthProgress READ depthProgress NOTIFY depthProgressChanged)
    Q_PROPERTY(bool hasDepth READ hasDepth NOTIFY depthAvailabilityChanged)
    Q_PROPERTY(bool hasDepthTools READ hasDepthTools NOTIFY depthAvailabilityChanged)
    Q_PROPERTY(bool hasDepthRange READ hasDepthRange NOTIFY depthAvailabilityChanged)
    Q_PROPERTY(double maxDOF READ maxDOF NOTIFY depthRangeChanged)
    Q_PROPERTY(double minDOF READ minDOF NOTIFY depthRangeChanged)
    Q_PROPERTY(double dof READ dof WRITE setDof NOTIFY dofChanged)
    Q_PROPERTY(double brushSize READ brushSizeValue WRITE setBrushSize NOTIFY brushSizeChanged)
    Q_PROPERTY(double minBrushSize READ minBrushSize NOTIFY editorModeChanged)
    Q_PROPERTY(double maxBrushSize READ maxBrushSize CONSTANT)
    Q_PROPERTY(double brushRadius READ brushRadiusValue NOTIFY brushRadiusChanged)
    Q_PROPERTY(bool hasBrush READ hasBrush NOTIFY hasBrushChanged)
    Q_PROPERTY(bool hasPanel READ hasPanel NOTIFY editorModeChanged)
    Q_PROPERTY(bool hasLasso READ hasLasso NOTIFY editorModeChanged)
    Q_PROPERTY(bool quickAdd READ quickAddValue WRITE setQuickAdd NOTIFY quickAddChanged)
    Q_PROPERTY(bool hasReferencePoint READ hasReferencePoint NOTIFY hasReferencePointChanged)
    Q_PROPERTY(bool hasClosedEditArea READ hasClosedEditArea NOTIFY hasClosedEditAreaChanged)
    Q_PROPERTY(double anomaly READ anomalyValue WRITE setAnomaly)
    Q_PROPERTY(bool hasDepthEdits READ hasDepthEdits NOTIFY hasDepthEditsChanged)

public:
    enum ImageQuality { Loading = 0, Preview = 1, Good = 2, Best = 3 };
    Q_ENUM(ImageQuality)
    using EditorMode = ImageEdit::EditorMode;
    using RenderMode = ImageEdit::RenderMode;
    using PickerMode = ImageEdit::PickerMode;
    using DepthJob = std::function<void(CIAPI::DepthEditor&)>;

    static constexpr int kMaxZoomLogLevel = ViewNavigator::kMaxZoomLogLevel;
    static constexpr int kMinZoomLogLevel = ViewNavigator::kMinZoomLogLevel;
    static constexpr int kRefreshMs = RedrawThrottle::kRefreshMs;
    // Edits of the open picture reach its state file this long after the last change.
    static constexpr int kSaveDelayMs = 2000;
    // A save the disk refused (full, read-only) is tried again this long after, so the
    // edits reach the file once there is room without waiting for the next change.
    static constexpr int kSaveRetryMs = 5000;
    // The longest a save of edits waits for a state file's lock.
    static constexpr int kSaveLockWaitMs = 100;

    explicit ImageEditItem(QQuickItem* parent = nullptr);
    ~ImageEditItem() override;

    // The image service: any object that implements IImageService.
    QObject* locator() const { return m_locator.object(); }
    void setLocator(QObject* locator);
    ImageProperties* properties() const;
    bool captureKnown() const { return viewerShowsLocation(); }
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
    QString exposure() const { return exposureText(m_exposureTime); }
    // Shutter time as the camera shows it: "1/n" for short times, else the nearest of its
    // steps on a logarithmic scale (the shorter one on a tie). Empty for no time.
    static QString exposureText(float milliseconds);
    // Red, green, blue and mean counts (four lists of 256 integers) of the cropped part of
    // the coarsest level, as last drawn.
    QVariantList histogram() const;
    RenderMode renderMode() const { return m_renderMode; }
    void setRenderMode(RenderMode mode);
    PickerMode pickerMode() const { return m_pickerMode; }
    void setPickerMode(PickerMode mode);
    bool updatingDepth() const { return m_updatingDepth; }
    int depthProgress() const { return m_depthProgress; }
    bool hasDepth() const { return m_hasDepth; }
    bool hasDepthTools() const { return m_hasDepthTools; }
    bool hasDepthRange() const { return m_hasDepthRange; }
    double maxDOF() const { return m_maxDOF; }
    double minDOF() const { return m_minDOF; }
    double dof() const { return m_dof; }
    void setDof(double dof);
    double brushSizeValue() const { return double(brushSize); }
    void setBrushSize(double size);
    double minBrushSize() const { return m_editorMode == ImageEdit::DepthEditingLasso ? 0.0 : 1.0; }
    double maxBrushSize() const { return 100.0; }
    double brushRadiusValue() const;
    bool hasBrush() const;
    bool hasPanel() const { return ImageEdit::isDepthMode(m_editorMode); }
    bool hasLasso() const { return m_editorMode == ImageEdit::DepthEditingLasso; }
    bool quickAddValue() const { return quickAdd; }
    void setQuickAdd(bool add);
    bool hasReferencePoint() const;
    bool hasClosedEditArea() const;
    // The horizontal shift of the overlay, in item pixels (the shake of a refused edit).
    double anomalyValue() const { return anomaly; }
    void setAnomaly(double anomaly);
    bool hasDepthEdits() const;
    std::pair<float, float> depthRange() const { return m_depthRange; }
    // The depth editor of the bound picture is reached only through the editor's jobs.
    bool hasDepthEditor() const { return m_viewer != nullptr; }

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

    void setBusyIndicator(bool busy);
    void setDepthProgressRunning(bool running);
    void setDepthProgressPercent(int percent);
    void optionFaceMatting(bool checked);
    void clearDepthPoints();
    bool isValidDepth(float focusDepth) const;
    void pushBrushDepthEdit(const QVariantList& points, QPointF refPoint, double brushSize);
    void pushEdgeHealDepthEdit(const QVariantList& points, double brushSize);
    void pushSurfHealDepthEdit(const QVariantList& points, double brushSize);
    void pushLassoDepthEdit(const QVariantList& points, QPointF refPoint, double brushSize);
    void pushQuickSelectDepthEditPoint(QPointF refPoint);
    void addQuickSelectStrokes();
    void applyDepthEdit();
    void resetDepthEdit();
    bool undoDepthEdit();
    bool redoDepthEdit();
    void resetDepthEdits();

signals:
    void propertiesChanged();
    void locationChanged();
    void loadingChanged();
    void zoomLevelChanged(double zoomLogLevel);
    void ratingChanged();
    void imageQualityChanged();
    void editorModeChanged(ImageEdit::EditorMode mode);
    void renderModeChanged(ImageEdit::RenderMode mode);
    void pickerModeChanged(ImageEdit::PickerMode mode);
    void brushRadiusChanged();
    void updatingDepthChanged();
    void depthProgressChanged();
    void depthAvailabilityChanged();
    void depthRangeChanged();
    void dofChanged(double dof);
    void brushSizeChanged();
    void hasBrushChanged();
    void quickAddChanged(bool add);
    void hasReferencePointChanged();
    void hasClosedEditAreaChanged();
    void hasDepthEditsChanged();
    void depthEditingError();
    void grabbedMouseMoved(double x, double y, bool inside);
    void histogramChanged();

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
    void onDepthAvailable();
    // The image service has an editor free again.
    void onEditorFreed();
    // The bound editor's save on its worker is over.
    void onSaveEnded();

private:
    // Depth tools (imageedititemdepth.cpp).
    void resetDepthState();
    // Runs a job through the bound editor: renders are cancelled and the picture marked
    // changed; afterwards the depth-edits flag follows the engine. False when it failed.
    bool runDepthJob(const DepthJob& job);
    // The same for a step that may find nothing to do: only a step that changed the depth
    // marks the picture changed and is saved. False when it failed or changed nothing.
    bool runDepthStep(const std::function<bool(CIAPI::DepthEditor&)>& step);
    bool commitDepthEdit(const DepthJob& job);
    // Reads the depth at a point; throws std::runtime_error as the engine does.
    float depthAtPoint(const QPointF& p) const;
    void resetQuickSelect();
    bool undoRedo(bool redo);
    CIAPI::QuickSelectDepthEditingParams quickSelectParams() const;
    // Pointer input in Refocus and the depth modes; false when the mode is not one of them.
    bool depthPress(const QPointF& itemPoint);
    bool depthMove(const QPointF& itemPoint);
    bool depthRelease();
    bool depthWheel(QWheelEvent* event);
    QCursor depthCursor() const;
    void resetAndRequestRegions();

    void loadLocation();
    // Binds the canvas to the editor that shows the location now.
    void attachViewer();
    // The editor opened the location after a writer let go of it.
    void viewerOpened(const QUrl& url);
    // Values changed since the last redraw (the throttle may still hold it back) go to the
    // renderer, so that a save or the editor's hand-back keeps them.
    void flushProperties();
    void releaseLocation();
    // Hands the bound editor back (its recycle step saves it); the location stays.
    void handBackViewer();
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
    // Writes the changes on a worker, waiting at most `lockWaitMs` for the state file's
    // lock there (-1: for as long as it takes).
    void startSave(int lockWaitMs);
    bool viewerShowsLocation() const;
    QPointF cropCentre() const;
    double devicePixelRatio() const;
    QPointF toPicture(const QPointF& itemPoint) const;
    void updateCursor();
    int coarsestLevel() const { return m_planner.coarsestLevel(); }
    // Render thread: counts the drawn picture under the crop when it changed, and hands
    // the counts to the GUI thread.
    void updateHistogram(ImagePlanesNode& planes);

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
    EditorMode m_editorMode = ImageEdit::None;
    RenderMode m_renderMode = ImageEdit::Normal;
    PickerMode m_pickerMode = ImageEdit::Reference;
    PickerMode m_lastPickerMode = ImageEdit::Trajectory;
    bool m_hasDepth = false;
    bool m_hasDepthTools = false;
    bool m_hasDepthRange = false;
    bool m_updatingDepth = false;
    int m_depthProgress = 0;
    double m_minDOF = 2.0;
    double m_maxDOF = 15.199999809265137;
    double m_dof = 0.0;
    std::pair<float, float> m_depthRange { 0.f, 0.f };
    QMetaObject::Connection m_busyConnection;
    QMetaObject::Connection m_progressConnection;
    QMetaObject::Connection m_depthConnection;
    int m_marchTimer = 0;
    bool m_marchPending = false;
    QSize m_resolution;
    float m_exposureTime = 0.f;
    float m_evOffset = 0.f;
    int m_focalLength = 0;
    int m_isoFilmSpeed = 0;
    QDateTime m_captureDate;
    QMetaObject::Connection m_ratingConnection;
    QMetaObject::Connection m_openedConnection;
    QMetaObject::Connection m_freedConnection;
    QMetaObject::Connection m_saveConnection;
    // No editor could be lent for the location: asked again once one is free.
    bool m_waitingForEditor = false;
    QMetaObject::Connection m_changedConnection;
    QMetaObject::Connection m_transformConnection;
    // The pixels drawn are not (yet again) the picture's own: a view with an overlay was
    // asked for, or the picture has not been drawn since it was left. Read on the render
    // thread while the GUI thread is blocked.
    bool m_histogramHeld = false;
    CanvasHistogram m_histogram;
};

#include "display/imageedititem.h"
#include "display/logging.h"

#include "ciapi/renderer.h"
#include "core/appsettings.h"
#include "core/progressmodel.h"
#include "display/enginerects.h"
#include "display/geometryedits.h"
#include "display/imageeditnode.h"
#include "display/imageplanenode.h"
#include "display/imageplanesnode.h"
#include "display/levelplanner.h"
#include "display/nodecrop.h"
#include "display/placeholdernode.h"
#include "engine/channelorder.h"
#include "engine/imageeditor.h"
#include "engine/imageproperties.h"
#include "engine/sentinels.h"
#include "engine/vrxmessage.h"

#include <QDebug>
#include <QFileInfo>
#include <QQuickWindow>

#include <cmath>
#include <stdexcept>

ImageEditItem::ImageEditItem(QQuickItem* parent)
    : QQuickItem(parent)
    , m_defaultProperties(new ImageProperties(this))
    , m_pyramid(emptyPyramid())
    , m_renderProgress(new ProgressModel(this))
    , m_geometryEdits(new GeometryEdits(this))
{
    setFlag(ItemHasContents);
    setFlag(ItemIsFocusScope);
    setAcceptedMouseButtons(Qt::LeftButton);
    setAcceptHoverEvents(true);
    connect(m_geometryEdits, &GeometryEdits::zoomChanged, this, &ImageEditItem::applyCropZoom);
    connect(
        m_geometryEdits, &GeometryEdits::transformationUpdated, this, &ImageEditItem::updateTransformation);
    connect(m_geometryEdits, &GeometryEdits::transformationUpdated, this, &QQuickItem::update);
    connect(m_geometryEdits, &GeometryEdits::cropCenterUpdated, this, &ImageEditItem::updateCenter);
    connect(m_geometryEdits, &GeometryEdits::cropCenterUpdated, this, &ImageEditItem::imageMoved);
    connect(m_geometryEdits, &GeometryEdits::updated, this, &QQuickItem::update);
    connect(m_geometryEdits, &GeometryEdits::aboutToRotate, this, &ImageEditItem::rotateUserPosition);
    connect(m_geometryEdits, &GeometryEdits::aboutToMirror, this, &ImageEditItem::mirrorUserPosition);
    connect(this, &QQuickItem::widthChanged, this, &ImageEditItem::viewChanged);
    connect(this, &QQuickItem::heightChanged, this, &ImageEditItem::viewChanged);
    connect(this, &ImageEditItem::dofChanged, this, &ImageEditItem::hasDepthEditsChanged);
}

ImageEditItem::~ImageEditItem()
{
    m_redraws.cancelCheck();
    m_saveTimer.stop();
    releaseLocation();
}

// --- binding ---------------------------------------------------------------------------

void ImageEditItem::setLocator(QObject* locator)
{
    if (locator == m_locator)
        return;
    releaseLocation();
    disconnect(m_freedConnection);
    m_locator = locator;
    if (m_locator)
        m_freedConnection = connect(m_locator.object(), SIGNAL(editorFreed()), this, SLOT(onEditorFreed()));
    loadLocation();
}

void ImageEditItem::onEditorFreed()
{
    if (!m_waitingForEditor)
        return;
    m_waitingForEditor = false;
    loadLocation();
}

void ImageEditItem::setLocation(const QString& location)
{
    const QUrl url(location);
    if (url == m_location)
        return;
    releaseLocation();
    m_location = url;
    // The counts of the picture left are not this one's: none are shown until it is drawn.
    m_histogram.clear();
    emit histogramChanged();
    loadLocation();
    emit locationChanged();
    emit loadingChanged();
}

QString ImageEditItem::fileName() const
{
    return QFileInfo(m_location.toLocalFile()).baseName();
}

QString ImageEditItem::exposureText(float milliseconds)
{
    static const std::pair<double, const char*> table[] = { { 0.2, "0.2" }, { 0.25, "0.25" }, { 0.3, "0.3" },
        { 0.4, "0.4" }, { 0.5, "0.5" }, { 0.6, "0.6" }, { 0.8, "0.8" }, { 1.0, "1" }, { 1.25, "1.25" },
        { 1.66, "1.66" }, { 2.0, "2" }, { 2.5, "2.5" }, { 3.2, "3.2" }, { 4.0, "4" }, { 5.0, "5" },
        { 6.0, "6" }, { 8.0, "8" }, { 10, "10" }, { 12, "12" }, { 15, "15" } };
    const double t = double(milliseconds) * 0.001;
    if (!(t > 0) || !std::isfinite(t))
        return QString();
    if (1 / t > 5.5)
        return QStringLiteral("1/%1").arg(qint64(1 / t + 0.5));
    const char* best = table[0].second;
    double bestDistance = std::abs(std::log(table[0].first) - std::log(t));
    for (const auto& row : table) {
        const double distance = std::abs(std::log(row.first) - std::log(t));
        // The input is a float: distances within its rounding count as a tie.
        if (distance < bestDistance - 1e-6) {
            bestDistance = distance;
            best = row.second;
        }
    }
    return QString::fromLatin1(best);
}

QVariantList ImageEditItem::histogram() const
{
    return m_histogram.toVariantList();
}

bool ImageEditItem::loading() const
{
    return !m_location.isValid() || m_location.isEmpty() || m_planner.empty();
}

ImageProperties* ImageEditItem::properties() const
{
    // Until the picture is open, its values are not known and nothing edits them.
    return viewerShowsLocation() ? m_viewer->properties() : m_defaultProperties;
}

QSize ImageEditItem::resolution() const
{
    return m_geometry.transposed() ? m_resolution.transposed() : m_resolution;
}

int ImageEditItem::rating() const
{
    return viewerShowsLocation() ? m_viewer->rating() : 0;
}

void ImageEditItem::takePyramid(const CIAPI::ImagePyramid& pyramid)
{
    m_pyramid = pyramid;
    m_planner.clear();
    resetLevelRegions();
    update();
    emit loadingChanged();
}

void ImageEditItem::loadLocation()
{
    if (!m_locator || !m_location.isValid() || m_location.isEmpty()) {
        if (!(m_pyramid == emptyPyramid()))
            takePyramid(emptyPyramid());
        return;
    }
    setImageQuality(Loading);
    if (!(m_pyramid == loadingPyramid()))
        takePyramid(loadingPyramid());
    // Both editors may be lent or still saving what they showed (on a slow volume that
    // takes long): the window does not wait for them, the canvas asks again once one is
    // free and keeps loading meanwhile.
    m_viewer = m_locator->tryOpenForView(m_location, this);
    if (!m_viewer) {
        m_waitingForEditor = true;
        return;
    }
    if (!viewerShowsLocation()
        && IImageService::fileKey(m_viewer->openingUrl()) == IImageService::fileKey(m_location)) {
        // The file and its state are being read (a slow volume, a writer holding the
        // state): the picture shows with its state once they are, and the page keeps
        // loading meanwhile, taking no edit.
        m_openedConnection
            = connect(m_viewer, &ImageViewer::notifyFileOpenedSignal, this, &ImageEditItem::viewerOpened);
        return;
    }
    if (!viewerShowsLocation()) {
        // Not a picture: nothing is open, so there is nothing to edit, rate or save.
        ImageEditor* editor = m_viewer;
        m_viewer = nullptr;
        m_locator->releaseEditorSlot(editor, this);
        if (!(m_pyramid == invalidPyramid()))
            takePyramid(invalidPyramid());
        return;
    }
    attachViewer();
}

void ImageEditItem::viewerOpened(const QUrl& url)
{
    if (IImageService::fileKey(url) != IImageService::fileKey(m_location) || !viewerShowsLocation())
        return;
    disconnect(m_openedConnection);
    attachViewer();
}

void ImageEditItem::attachViewer()
{
    ImageProperties* props = m_viewer->properties();
    props->setFileInfo(m_location.toLocalFile());
    m_resolution = m_viewer->outputSize();
    m_exposureTime = m_viewer->exposureTime();
    m_evOffset = m_viewer->evOffset();
    m_focalLength = int(m_viewer->focalLength());
    m_isoFilmSpeed = int(m_viewer->iso());
    m_captureDate = m_viewer->captureTime();
    m_ratingConnection = connect(m_viewer, &ImageEditor::ratingChanged, this, &ImageEditItem::ratingChanged);
    m_saveConnection = connect(m_viewer, &ImageViewer::saveEnded, this, &ImageEditItem::onSaveEnded);
    m_changedConnection = connect(props, SIGNAL(changed()), this, SLOT(requestRedraw()));
    m_transformConnection = connect(props, SIGNAL(transformChanged()), this, SLOT(updateTransform()));
    emit propertiesChanged();
    emit ratingChanged();
    m_viewer->renderLowestLevel();
    setEditorMode(ImageEdit::None);
    if (m_renderMode != ImageEdit::Normal) {
        m_renderMode = ImageEdit::Normal;
        m_histogramHeld = true;
        m_viewer->setMode(ImageEdit::Normal);
        resetAndRequestRegions();
        emit renderModeChanged(m_renderMode);
    }
    m_geometryEdits->initTransform(props->transformProperties());
    m_geometryEdits->setEditFlag(int(m_viewer->renderer().getProperty(CIAPI::IntParam::Orientation)));
    // Opened with edits that could not be saved when it was left: they are saved as edits are.
    if (m_viewer->contentDirty() || m_viewer->ratingDirty())
        m_saveTimer.start(kSaveDelayMs, this);
}

void ImageEditItem::flushProperties()
{
    if (viewerShowsLocation())
        m_viewer->syncProperties();
}

void ImageEditItem::releaseLocation()
{
    m_waitingForEditor = false;
    handBackViewer();
    m_viewer = nullptr;
    m_saveTimer.stop(); // the editor handed back saves on its recycle step
    if (!(m_pyramid == emptyPyramid()))
        takePyramid(emptyPyramid());
}

void ImageEditItem::handBackViewer()
{
    if (m_locator && m_viewer) {
        flushProperties();
        m_geometryEdits->applyCrop(false);
        // Stopped only now: the crop just applied restarts it, and left running it would
        // save the next picture with force.
        m_saveTimer.stop();
        detachEditor();
        disconnect(m_openedConnection);
        disconnect(m_saveConnection);
        disconnect(m_ratingConnection);
        disconnect(m_changedConnection);
        disconnect(m_transformConnection);
        ImageEditor* viewer = m_viewer;
        m_viewer = nullptr;
        m_locator->releaseEditorSlot(viewer, this);
        emit ratingChanged();
        emit propertiesChanged();
    }
}

bool ImageEditItem::viewerShowsLocation() const
{
    return m_viewer && IImageService::fileKey(m_viewer->currentUrl()) == IImageService::fileKey(m_location);
}

void ImageEditItem::imageOutput(const VrxMessage& message)
{
    // Late output of the file the pooled editor showed before is not this picture's.
    if (m_location.isEmpty()
        || IImageService::fileKey(message.location) != IImageService::fileKey(m_location))
        return;
    if (message.pyramid.isNull() || isSentinel(message.pyramid))
        return;
    if (!(message.pyramid == m_pyramid)) {
        if (!m_viewer)
            return;
        if (viewerShowsLocation()) {
            m_viewer->setProperty11();
            m_viewer->setBackgroundColor(QColor(51, 51, 51, 232));
        }
        setPyramid(message.pyramid);
        m_geometry.setViewSize(float(int(width())), float(int(height())));
        const int coarsest = coarsestLevel();
        const QSize c = m_planner.levelSizes()[size_t(coarsest)];
        markRegionDirty(CIAPI::ROI { 0, 0, c.width(), c.height() }, coarsest);
        viewChanged();
        updateCenter();
        emit m_geometryEdits->zoomChanged();
    } else {
        markRegionDirty(message.region, message.level);
    }
    if (m_redraws.owed())
        refresh();
}

void ImageEditItem::fileInvalid(QUrl location)
{
    if (IImageService::fileKey(location) != IImageService::fileKey(m_location))
        return;
    takePyramid(invalidPyramid());
    // An open that failed leaves nothing to edit, rate or save: the editor goes back, once
    // the viewer is done reporting (it closes the picture after this).
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_viewer && !viewerShowsLocation()
                && IImageService::fileKey(m_viewer->openingUrl()) != IImageService::fileKey(m_location))
                handBackViewer();
        },
        Qt::QueuedConnection);
}

void ImageEditItem::routerDetached(ImageRouter* router)
{
    if (!m_viewer || static_cast<ImageRouter*>(m_viewer) != router)
        return;
    detachEditor();
    disconnect(m_openedConnection);
    disconnect(m_saveConnection);
    disconnect(m_ratingConnection);
    disconnect(m_changedConnection);
    disconnect(m_transformConnection);
    m_viewer = nullptr;
    emit propertiesChanged();
    m_location.clear();
    emit loadingChanged();
    emit locationChanged();
}

void ImageEditItem::setPyramid(const CIAPI::ImagePyramid& pyramid)
{
    m_pyramid = pyramid;
    const bool zoomed = m_navigator.reset();
    setEditorMode(ImageEdit::None);
    quickAdd = true;
    referencePoint = QPointF(-1, -1);
    m_planner.setLevels(pyramid);
    if (!m_planner.empty())
        m_geometry.setImageSize(m_planner.levelSizes()[0].width(), m_planner.levelSizes()[0].height());
    emit loadingChanged();
    resetLevelRegions();
    if (zoomed)
        emit zoomLevelChanged(m_navigator.zoomLogLevel());
}

QPointF ImageEditItem::cropCentre() const
{
    return m_geometryEdits->cropRect().center();
}

double ImageEditItem::devicePixelRatio() const
{
    return window() ? window()->effectiveDevicePixelRatio() : 1.0;
}

void ImageEditItem::viewChanged()
{
    try {
        if (m_planner.empty() || !window())
            return;
        const int w = int(width()), h = int(height());
        // An empty view (first layout, minimised window) has no fit to keep and nothing to show.
        if (w <= 0 || h <= 0)
            return;
        if (!m_navigator.resizeView(w, h))
            return;
        const int level
            = LevelPlanner::chooseLevel(m_planner.levelSizes(), cropCentre(), m_geometry, devicePixelRatio());
        m_geometry.setLevel(level);
        update();
        emit brushRadiusChanged();
        updateLevelRegions();
        updateCursor();
        update();
    } catch (const std::exception& e) {
        qCWarning(lcDisplay) << "ImageEditItem:" << e.what();
    }
}

void ImageEditItem::setCurrentLevel(int level)
{
    m_geometry.setLevel(level);
    update();
}

void ImageEditItem::resetLevelRegions()
{
    m_planner.resetRegions();
    m_renderProgress->reset();
}

void ImageEditItem::updateLevelRegions()
{
    if (!m_viewer || m_planner.levelCount() <= 1)
        return;
    const int current = m_geometry.level();
    if (current < 0 || current > coarsestLevel())
        throw std::runtime_error("Bad level request");
    for (int level = coarsestLevel(); level >= current; --level)
        requestLevelRegion(level);
    m_redraws.scheduleCheck(this);
}

void ImageEditItem::requestLevelRegions()
{
    try {
        updateLevelRegions();
    } catch (const std::exception& e) {
        qCWarning(lcDisplay) << "ImageEditItem:" << e.what();
    }
}

void ImageEditItem::requestLevelRegion(int level)
{
    if (int(width()) <= 0 || int(height()) <= 0)
        return;
    const QRect wanted = LevelPlanner::wantedRegion(level, m_planner.levelSizes(), cropCentre(), m_geometry);
    if (wanted.isEmpty())
        return;
    const QRegion& asked = m_planner.ask(level, wanted);
    updateRenderProgress(level);
    for (const QRect& r : asked) {
        m_viewer->render(level, toEngineRect(r), 1);
        m_redraws.markRendering();
    }
}

void ImageEditItem::markRegionDirty(const CIAPI::ROI& rect, int level)
{
    refresh();
    if (!m_planner.receive(rect, level))
        return;
    // The picture itself is drawn again: the histogram may count it.
    if (level == coarsestLevel() && m_renderMode == ImageEdit::Normal)
        m_histogramHeld = false;
    updateRenderProgress(level);
    update();
}

void ImageEditItem::updateRenderProgress(int level)
{
    const qint64 total = m_planner.askedArea(level);
    const qint64 done = m_planner.receivedArea(level);
    m_renderProgress->setPartialProgress(done, total, QVariant(level));
    if (m_renderProgress->elapsed() < m_renderProgress->estimated()) {
        setImageQuality(Loading);
        return;
    }
    // Every asked block of every level has arrived. Tiles come back in any order, so the
    // level whose tile happened to be last says nothing: the finest level asked does.
    m_renderProgress->reset();
    const int finest = qBound(0, std::min(level, m_geometry.level()), coarsestLevel());
    setImageQuality(finest == coarsestLevel() ? Preview : finest == 0 ? Best : Good);
}

void ImageEditItem::setImageQuality(ImageQuality quality)
{
    if (quality == m_imageQuality)
        return;
    m_imageQuality = quality;
    emit imageQualityChanged();
}

// --- redraws ---------------------------------------------------------------------------

void ImageEditItem::requestRedraw()
{
    if (m_redraws.request())
        refresh();
}

void ImageEditItem::updateTransform()
{
    m_redraws.step();
    if (viewerShowsLocation()) {
        const CIAPI::Transform t = m_viewer->properties()->transformProperties();
        if (!(t == m_geometryEdits->transform()))
            m_geometryEdits->initTransform(t);
    }
    // A patch that also turns or crops the picture announces only that; the tone values it
    // set go to the renderer now, before the editor can be handed back and saved.
    refresh();
}

void ImageEditItem::refresh()
{
    m_redraws.beginRefresh();
    if (m_viewer && viewerShowsLocation() && m_viewer->syncProperties()) {
        m_saveTimer.start(kSaveDelayMs, this);
        resetLevelRegions();
        requestLevelRegions();
        return;
    }
    m_redraws.settle();
}

void ImageEditItem::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == m_saveTimer.timerId()) {
        saveEdits();
        return;
    }
    if (m_marchTimer && event->timerId() == m_marchTimer) {
        // The lasso's dashes march while there is a lasso to see.
        if (!strokePoints.empty()) {
            m_marchPending = true;
            update();
        }
        return;
    }
    if (!m_redraws.isCheck(event->timerId())) {
        QQuickItem::timerEvent(event);
        return;
    }
    refresh();
}

void ImageEditItem::setRating(int rating)
{
    if (!viewerShowsLocation() || !m_locator || m_viewer->rating() == rating)
        return;
    m_locator->rate(m_location, rating);
    emit ratingChanged();
}

void ImageEditItem::serializeCurrentFile()
{
    if (!viewerShowsLocation())
        return;
    flushProperties();
    // As the timed save, forced and on a worker: a rating the service appended to the state
    // file while the picture is open here is no other writer's edit, and must not keep the
    // edits on the screen out of the file. Turning to the next picture or leaving never
    // waits for a slow volume or a batch edit holding the lock: the worker waits for it.
    startSave(-1);
}

void ImageEditItem::saveEdits()
{
    // The timed save does not wait long for the state file's lock (a batch edit may hold it
    // through a whole render and save): while it is taken the edits stay unsaved and the
    // save is tried again later.
    startSave(kSaveLockWaitMs);
}

void ImageEditItem::startSave(int lockWaitMs)
{
    m_saveTimer.stop();
    if (!viewerShowsLocation() || (!m_viewer->contentDirty() && !m_viewer->ratingDirty()))
        return;
    if (m_viewer->isSaving()) {
        // The save under way ends first; these changes come after it.
        m_saveTimer.start(kSaveDelayMs, this);
        return;
    }
    const bool unfinished = m_imageQuality == Loading;
    m_viewer->renderer().cancelRenderRequests();
    // Forced: the open editor owns the picture's state (a rating appended meanwhile is
    // in the editor too). Written on a worker, so a slow volume does not hold the window.
    m_viewer->saveInBackground(true, lockWaitMs);
    // Making the state leaves the renderer drawing normally; what is drawn next keeps the
    // view's own mode (the focal region or the quick-select mask stays on the screen).
    if (m_renderMode != ImageEdit::Normal)
        m_viewer->setMode(m_renderMode);
    if (unfinished) {
        resetLevelRegions();
        requestLevelRegions();
    }
}

void ImageEditItem::onSaveEnded()
{
    if (!viewerShowsLocation())
        return; // handed back: its recycle step takes the result
    m_viewer->takeSaveResult();
    // Unsaved still: the lock was taken, or the disk refused the write.
    if ((m_viewer->contentDirty() || m_viewer->ratingDirty()) && !m_saveTimer.isActive())
        m_saveTimer.start(m_viewer->saveWasBusy() ? kSaveDelayMs : kSaveRetryMs, this);
}

void ImageEditItem::flushTransformation()
{
    if (viewerShowsLocation())
        updateTransformation();
}

// --- scene graph -----------------------------------------------------------------------

QSGNode* ImageEditItem::updatePaintNode(QSGNode* old, UpdatePaintNodeData*)
{
    if (m_planner.empty() || isSentinel(m_pyramid) || m_pyramid.isNull()) {
        auto* node = dynamic_cast<PlaceholderNode*>(old);
        if (!node) {
            delete old;
            node = new PlaceholderNode(true);
        }
        node->setPyramid(m_pyramid);
        node->setRect(boundingRect());
        if (m_pyramid == loadingPyramid())
            node->markDirty(QSGNode::DirtyForceUpdate);
        return node;
    }
    auto* node = dynamic_cast<ImageEditNode*>(old);
    if (!node) {
        delete old;
        node = new ImageEditNode(window());
    }
    if (!node->planes() || !node->planes()->showsPyramid(m_pyramid)) {
        auto* planes
            = new ImagePlanesNode(m_pyramid, m_locator ? m_locator->channelOrder() : ChannelOrder::kDefault);
        planes->setFlag(QSGNode::UsePreprocess);
        planes->bindWindow(window());
        node->setPlanes(planes);
    }
    ImagePlanesNode* planes = node->planes();
    planes->planes()->applyDirtyRegions(m_planner.dirty(), true);
    static_cast<ImageGeometry&>(*planes) = m_geometry;
    planes->updateMatrix(boundingRect());
    const CIAPI::Point<int> aspect = m_geometryEdits->transform().aspectRatio();
    node->crop().setCropGeometry(m_geometryEdits->cropState(), m_geometryEdits->cropRect(),
        aspect.x > 0 && aspect.y > 0 ? double(aspect.x) / aspect.y : 1.0);
    node->crop().updateNode(*planes);
    node->crop().setVisible(m_editorMode == ImageEdit::Crop);
    ImageEditState state = *this;
    state.overlayMode = m_editorMode;
    state.overlayPicker = m_pickerMode;
    state.mousePos = m_mousePos;
    state.scale = float(devicePixelRatio());
    state.viewSize = QSize(int(width()), int(height()));
    state.level = m_geometry.level();
    state.brushRadius = float(brushRadiusValue());
    node->updateOverlay(state, *planes, AppSettings::avoidDrawPoints());
    updateHistogram(*planes);
    if (m_marchPending) {
        m_marchPending = false;
        node->marchLasso();
    }
    return node;
}

void ImageEditItem::updateHistogram(ImagePlanesNode& planes)
{
    // The shading and colours of the focus and selection views are not the picture's: the
    // last histogram of the picture stays until the picture itself is drawn again.
    if (m_renderMode != ImageEdit::Normal || m_histogramHeld)
        return;
    switch (m_histogram.count(planes, m_geometryEdits->cropRect())) {
    case CanvasHistogram::Count::Counted:
        QMetaObject::invokeMethod(this, &ImageEditItem::histogramChanged, Qt::QueuedConnection);
        break;
    case CanvasHistogram::Count::Arriving:
        // Pixels are still arriving: another frame counts them once they have.
        QMetaObject::invokeMethod(
            this, [this] { update(); }, Qt::QueuedConnection);
        break;
    case CanvasHistogram::Count::Unchanged:
        break;
    }
}

void ImageEditItem::releaseResources()
{
    // The next node builds its textures again in whichever context it gets.
    m_planner.markReceivedDirty();
}

#pragma once

#include "ciapi/transform.h"
#include "engine/transformhelpers.h"

#include <QHash>
#include <QObject>
#include <QPointF>
#include <QRectF>
#include <QSizeF>

#include <functional>

class ImageGeometry;

// The editor's crop, rotate and mirror tool over the picture's engine transform.
//
// `crop` is the crop as the user sees it: normalised to the turned and mirrored view of the
// whole picture. While the crop is edited (state not Hidden) the transform keeps the crop
// it had when editing began (`committedCrop`) and the edited one is only drawn; applyCrop
// writes it into the transform.
class GeometryEdits : public QObject
{
    Q_OBJECT
    Q_PROPERTY(CropState cropState READ cropState NOTIFY cropStateChanged)
    Q_PROPERTY(bool hasEdits READ hasEdits NOTIFY hasEditsChanged)

public:
    enum CropMode {
        Free = 0,
        Preset_4_3 = 1,
        Preset_3_4 = 2,
        Preset_16_9 = 3,
        Preset_9_16 = 4,
        Preset_3_2 = 5,
        Preset_2_3 = 6,
        Preset_2_1 = 7,
        Preset_1_2 = 8,
        Preset_1_1 = 9
    };
    Q_ENUM(CropMode)
    enum CropState { Hidden = 0, Shown = 1, Active = 2 };
    Q_ENUM(CropState)

    // Crop handles: 0 none, 1 top-left, 2 top, 3 top-right, 4 left, 5 right, 6 bottom-left,
    // 7 bottom, 8 bottom-right.
    enum { NoHandle = 0 };
    // The smallest width and height of a crop, in view fractions.
    static constexpr double kMinimumSide = kSmallestCropSide;
    // Marks around the crop: thickness and length in view pixels.
    static constexpr double kMarkThickness = 6.0;
    static constexpr double kMarkLength = 48.0;

    explicit GeometryEdits(QObject* parent = nullptr);
    ~GeometryEdits() override;

    void initTransform(const CIAPI::Transform& value);
    CIAPI::Transform transform() const { return m_transform; }

    CropState cropState() const { return m_cropState; }
    void setCropState(CropState state);
    CropMode cropMode() const { return m_cropMode; }
    bool hasEdits() const;
    void setEditFlag(int orientationCode);
    int orientationCode() const { return m_orientationCode; }

    QRectF crop() const { return m_crop; }
    QRectF committedCrop() const { return m_committedCrop; }
    // The edited crop in fractions of the unturned picture: what the canvas fits into the
    // view, centres on and asks the engine for.
    QRectF cropRect() const;

    Q_INVOKABLE void rotateRight();
    Q_INVOKABLE void rotateLeft();
    Q_INVOKABLE void mirrorHorizontal();
    Q_INVOKABLE void mirrorVertical();
    Q_INVOKABLE void applyCrop(bool shouldHide);
    Q_INVOKABLE void applyCrop() { applyCrop(true); }
    Q_INVOKABLE void setCropMode(GeometryEdits::CropMode mode);

    // Width over height of a preset as the user sees it; for Free, the current crop's.
    double cropAspectRatio(CropMode mode) const;

    // Crop dragging. Points are normalised picture coordinates (0..1 over the unturned
    // picture), so they stay put while the view refits around the crop; `geometry` gives
    // the turn and the scale of the view.
    void beginCropDrag(const QPointF& picturePoint, const ImageGeometry& geometry);
    void dragCrop(const QPointF& picturePoint, const ImageGeometry& geometry);
    void endCropDrag();
    int grabbedHandle() const { return m_grabbedHandle; }
    bool isMoving() const { return m_moving; }
    Qt::CursorShape cursorAt(const QPointF& picturePoint, const ImageGeometry& geometry) const;
    // The handle under a point of the view (view fractions of the whole picture).
    int cropHandleAt(const QPointF& viewPoint, const ImageGeometry& geometry) const;

    // Between the picture and its turned, mirrored view, both normalised to 0..1.
    static QPointF pictureToView(const QPointF& p, const TurnAndMirror& turn);
    static QPointF viewToPicture(const QPointF& v, const TurnAndMirror& turn);
    static QRectF pictureRectToView(const QRectF& r, const TurnAndMirror& turn);
    static QRectF viewRectToPicture(const QRectF& r, const TurnAndMirror& turn);

signals:
    void transformationUpdated();
    void zoomChanged();
    void cropCenterUpdated();
    void updated();
    void cropStateChanged();
    void resetCropMode();
    void toggleCropMode();
    void hasEditsChanged();
    void aboutToRotate(bool rightRotation);
    void aboutToMirror(bool horizontal);

private:
    // Turns or mirrors the transform and keeps the same part of the picture cropped.
    void reorient(const std::function<void(CIAPI::Transform&)>& change);
    // The preset's width over height in view fractions (1 for Free).
    double fractionRatio(CropMode mode) const;
    double pictureAspect() const;
    // View-fraction sizes of the hit margin and the handle length, per axis.
    QSizeF marginInView(const ImageGeometry& geometry, double pixels, bool alongPictureX) const;
    void dragHandle(const QPointF& d);
    void dragWhole(const QPointF& d);

    CIAPI::Transform m_transform;
    QRectF m_committedCrop { 0, 0, 1, 1 };
    QRectF m_crop { 0, 0, 1, 1 };
    QHash<int, Qt::CursorShape> m_handleCursors;
    int m_grabbedHandle = NoHandle;
    bool m_moving = false;
    QPointF m_lastPoint;
    CropMode m_cropMode = Free;
    CropState m_cropState = Hidden;
    int m_orientationCode = 0;
};

#pragma once

#include "display/imageeditstate.h"

#include <QSGGeometry>
#include <QSGNode>
#include <QSGTransformNode>

#include <array>
#include <memory>

class FlatColorNode;
class ImageGeometry;
class ImagePlanesNode;
class LassoPathNode;
class NodeCrop;
class OptionalNode;
class QQuickWindow;
class QSGSimpleTextureNode;
class QSGTexture;

// The editor canvas's root node: the picture's planes, and above them an overlay layer
// holding the reference cross, the lasso, the brush spray and the crop overlay. It keeps a
// copy of the canvas's edit state and rebuilds the overlay only when that copy changes.
class ImageEditNode : public QSGNode, public ImageEditState
{
public:
    static constexpr const char* kCrossImage = ":/controls/images/clicktoselect_cross.png";

    explicit ImageEditNode(QQuickWindow* window);
    ~ImageEditNode() override;

    ImagePlanesNode* planes() const { return m_planes; }
    // Replaces the planes node (deleting the previous one); it goes below the overlays.
    void setPlanes(ImagePlanesNode* planes);
    QSGTransformNode* overlay() const { return m_overlay; }
    NodeCrop& crop() { return *m_crop; }
    QQuickWindow* window() const { return m_window; }

    // Takes the canvas's state and rebuilds what changed, through the picture's geometry.
    // With `avoidDrawPoints` the spray's points are drawn as short lines.
    void updateOverlay(const ImageEditState& state, const ImageGeometry& geometry, bool avoidDrawPoints);
    // Moves the lasso's dashes one step.
    void marchLasso();

    bool crossShown() const;
    bool lassoShown() const;
    bool brushShown() const;

    void preprocess() override;

private:
    QQuickWindow* m_window;
    ImagePlanesNode* m_planes = nullptr;
    QSGTransformNode* m_overlay;
    NodeCrop* m_crop;
    std::unique_ptr<QSGTexture> m_crossTexture;
    QSGSimpleTextureNode* m_cross = nullptr;
    OptionalNode* m_crossOptional;
    LassoPathNode* m_lasso;
    OptionalNode* m_lassoOptional;
    FlatColorNode* m_brush;
    QSGGeometry m_brushGeometry;
    OptionalNode* m_brushOptional;
    std::array<QPointF, 3> m_mapping; // where three picture points were drawn last time
    bool m_built = false;
};

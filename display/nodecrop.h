#pragma once

#include "display/geometryedits.h"

#include <QRectF>

class FlatColorNode;
class ImageGeometry;
class OptionalNode;
class QSGGeometry;

// The crop overlay of the editor canvas: a shade over the picture outside the crop, the
// crop frame with its thirds, and the handle marks. All three are drawn from normalised
// picture coordinates through the canvas geometry, so they turn and mirror exactly like
// the picture. The nodes belong to the scene graph once handed to a parent.
class NodeCrop
{
public:
    NodeCrop();

    // In the order they are stacked: shade, frame and thirds, handles.
    OptionalNode* shadeNode() const { return m_shadeOptional; }
    OptionalNode* frameNode() const { return m_frameOptional; }
    OptionalNode* handleNode() const { return m_handleOptional; }

    // The crop (fractions of the unturned picture) and how it is being edited; `aspect`
    // is the width over the height of the transform's aspect ratio.
    void setCropGeometry(GeometryEdits::CropState state, const QRectF& pictureCrop, double aspect);
    // Rebuilds the vertices through the geometry and shows the shade.
    void updateNode(const ImageGeometry& geometry);
    // Frame and handles: shown while the crop is edited.
    void setVisible(bool visible);

    GeometryEdits::CropState state() const { return m_state; }
    QRectF crop() const { return m_crop; }

private:
    FlatColorNode* m_shade;
    FlatColorNode* m_frame;
    FlatColorNode* m_handles;
    OptionalNode* m_shadeOptional;
    OptionalNode* m_frameOptional;
    OptionalNode* m_handleOptional;
    GeometryEdits::CropState m_state = GeometryEdits::Hidden;
    QRectF m_crop { 0, 0, 1, 1 };
    double m_aspect = 1.0;
};

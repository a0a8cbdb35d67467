#pragma once

#include "display/imageedit.h"

#include <QPointF>
#include <QSize>

#include <vector>

// What the canvas's overlay shows: shared by the canvas item and its root node, which
// receives a copy every frame and rebuilds its geometry only when the copy differs.
struct ImageEditState
{
    float scale = 1.0f;
    QSize viewSize;
    int level = 0;
    QPointF referencePoint { -1, -1 }; // normalised image coordinates; (-1, -1): none
    QPointF mousePos { -1, -1 }; // item coordinates; (-1, -1): none
    float brushSize = 10.f; // 1..100; the engine gets brushSize * 0.001
    bool overlayShown = true;
    bool quickAdd = true;
    int quickSelectStrokes = 0; // strokes handed to the engine since the last reset
    std::vector<QPointF> strokePoints; // normalised image coordinates
    std::vector<QPointF> segmentPoints;
    std::vector<unsigned> colours { 0x80000000u, 0x80FF00FFu };
    float blend = 0.5f;
    float feather = 0.5f;
    float strength = 0.5f;
    ImageEdit::EditorMode overlayMode = ImageEdit::None;
    ImageEdit::PickerMode overlayPicker = ImageEdit::Reference;
    float brushRadius = 0.f; // item pixels
    double anomaly = 0.0; // horizontal shift of the overlay layer, item pixels

    bool operator==(const ImageEditState& o) const
    {
        return scale == o.scale && viewSize == o.viewSize && level == o.level
            && referencePoint == o.referencePoint && mousePos == o.mousePos && brushSize == o.brushSize
            && overlayShown == o.overlayShown && quickAdd == o.quickAdd
            && quickSelectStrokes == o.quickSelectStrokes && strokePoints == o.strokePoints
            && segmentPoints == o.segmentPoints && colours == o.colours && overlayMode == o.overlayMode
            && overlayPicker == o.overlayPicker && brushRadius == o.brushRadius && anomaly == o.anomaly;
    }
    bool operator!=(const ImageEditState& o) const { return !(*this == o); }
};

#pragma once

#include "display/imageplanes.h"

#include <QRectF>
#include <QSGTransformNode>

#include <vector>

class ImageTileNode;

// Draws one pyramid level from its texture tiles, in a space one unit wide centred on
// the origin, so every level of a pyramid covers the same area.
class ImagePlaneNode : public QSGTransformNode
{
public:
    ImagePlaneNode(ImagePlanes::ImagePlane* plane, int levelScale, bool coarsest);

    // Uploads the pending pixels and refreshes what each tile draws.
    void preprocess() override;

    ImagePlanes::ImagePlane* plane() const { return m_plane; }
    int levelScale() const { return m_levelScale; }
    bool coarsest() const { return m_coarsest; }
    // Uploads arrived in the last frame (or this is the first frame).
    bool changed() const { return m_changed; }
    const std::vector<ImageTileNode*>& tiles() const { return m_tiles; }

    // Histogram of a normalised rectangle of the level: four vectors of 256 counts (red,
    // green, blue, mean). False when skipped: uploads still arriving, or this rectangle
    // was done already for the pixels the level holds now.
    bool computeHistogram(std::vector<std::vector<quint32>>& bins, const QRectF& rect);

private:
    ImagePlanes::ImagePlane* m_plane;
    int m_levelScale;
    bool m_coarsest;
    bool m_changed = true;
    bool m_histogramDone = false;
    QRectF m_histogramRect;
    std::vector<ImageTileNode*> m_tiles;
};

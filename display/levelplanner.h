#pragma once

#include "ciapi/image.h"
#include "display/imagegeometry.h"

#include <QPointF>
#include <QRect>
#include <QRegion>
#include <QSize>

#include <vector>

// The canvas's level bookkeeping: which part of which pyramid level the screen needs, and
// per level what was asked of the engine, what arrived, and what arrived but is not yet on
// the screen's textures. Plain data; the canvas decides when to ask and when to draw.
class LevelPlanner
{
public:
    static constexpr int kBlock = 512;

    // The visible part of a level, clipped to it (engine form). `cropCentre` is the crop's
    // centre in picture fractions.
    static CIAPI::ROI visibleLevelRect(const QSize& levelSize, const QSize& level0, const QPointF& cropCentre,
        const ImageGeometry& geometry);
    // The coarsest level whose visible part still gives a level pixel per device pixel.
    static int chooseLevel(const std::vector<QSize>& levelSizes, const QPointF& cropCentre,
        const ImageGeometry& geometry, double devicePixelRatio);
    // What to ask of a level: the coarsest whole, finer ones in 512-pixel blocks around the
    // visible part; always inside the level.
    static QRect wantedRegion(int level, const std::vector<QSize>& levelSizes, const QPointF& cropCentre,
        const ImageGeometry& geometry);

    // Takes the level sizes of a pyramid (none for a null one) and forgets every region.
    void setLevels(const CIAPI::ImagePyramid& pyramid);
    // No levels, no regions.
    void clear();
    // Forgets every region of the current levels.
    void resetRegions();

    const std::vector<QSize>& levelSizes() const { return m_levelSizes; }
    bool empty() const { return m_levelSizes.empty(); }
    int levelCount() const { return int(m_levelSizes.size()); }
    int coarsestLevel() const { return levelCount() - 1; }

    // Adds `wanted` to what was asked of the level and returns all that was asked of it.
    const QRegion& ask(int level, const QRect& wanted);
    // Records a delivered rectangle of a level (clipped to it) as arrived and not yet drawn.
    // False when nothing of it lies inside a known level.
    bool receive(const CIAPI::ROI& rect, int level);
    // Area of what was asked of the level, and of the part of it that arrived.
    qint64 askedArea(int level) const;
    qint64 receivedArea(int level) const;
    // Everything that arrived counts as not drawn again (the textures were dropped).
    void markReceivedDirty();

    const std::vector<QRegion>& asked() const { return m_asked; }
    const std::vector<QRegion>& received() const { return m_received; }
    // Regions arrived but not yet drawn; the scene graph takes and clears them.
    std::vector<QRegion>& dirty() { return m_dirty; }

private:
    std::vector<QSize> m_levelSizes;
    std::vector<QRegion> m_asked;
    std::vector<QRegion> m_received;
    std::vector<QRegion> m_dirty;
};

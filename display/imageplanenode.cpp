#include "display/imageplanenode.h"

#include "display/imagetilenode.h"
#include "engine/channelorder.h"

#include <QMatrix4x4>

#include <cmath>

ImagePlaneNode::ImagePlaneNode(ImagePlanes::ImagePlane* plane, int levelScale, bool coarsest)
    : m_plane(plane)
    , m_levelScale(levelScale)
    , m_coarsest(coarsest)
{
    for (int i = 0; i < plane->tileCount(); ++i) {
        auto* tile = new ImageTileNode(plane->tileRect(i));
        appendChildNode(tile);
        m_tiles.push_back(tile);
    }
    const float w = float(qMax(1, plane->width()));
    const float h = float(qMax(1, plane->height()));
    QMatrix4x4 m;
    m.scale(1.f / w, 1.f / w);
    m.translate(-w / 2.f, -h / 2.f);
    setMatrix(m);
}

void ImagePlaneNode::preprocess()
{
    const QRegion pending = m_plane->pending();
    const QRegion available = pending | m_plane->uploaded();
    if (!pending.isEmpty()) {
        m_changed = true;
        // New pixels (a new render after a tone change, say): the histogram is done again
        // once they have all arrived, even for the same rectangle.
        m_histogramDone = false;
        for (ImageTileNode* tile : m_tiles) {
            if (pending.intersects(tile->tileRect()))
                tile->markDirty(DirtyMaterial);
        }
        m_plane->uploadRegion();
    } else if (m_coarsest) {
        m_changed = false;
    }
    for (ImageTileNode* tile : m_tiles) {
        tile->setAvailable(available);
        tile->refreshGeometry();
    }
}

bool ImagePlaneNode::computeHistogram(std::vector<std::vector<quint32>>& bins, const QRectF& rect)
{
    if (m_changed || (m_histogramDone && rect == m_histogramRect))
        return false;
    m_histogramDone = true;
    m_histogramRect = rect;
    bins.assign(4, std::vector<quint32>(256, 0u));
    const CIAPI::Image& image = m_plane->image();
    const int width = m_plane->width();
    const int height = m_plane->height();
    if (image.empty())
        return true;
    const bool bgra = ChannelOrder::isBgra(m_plane->format());
    const int yEnd = qMin(height, int(std::ceil(rect.bottom() * height)));
    const int xEnd = qMin(width, int(std::ceil(rect.right() * width)));
    for (int y = qMax(0, int(rect.top() * height)); y < yEnd && y < rect.bottom() * height; ++y) {
        const uint8_t* row = image.data() + std::ptrdiff_t(y) * m_plane->rowLength() * 4;
        for (int x = qMax(0, int(rect.left() * width)); x < xEnd && x < rect.right() * width; ++x) {
            const uint8_t* p = row + x * 4;
            const int b0 = p[0];
            const int b1 = p[1];
            const int b2 = p[2];
            if (bgra) {
                ++bins[2][size_t(b0)];
                ++bins[1][size_t(b1)];
                ++bins[0][size_t(b2)];
            } else {
                ++bins[0][size_t(b0)];
                ++bins[1][size_t(b1)];
                ++bins[2][size_t(b2)];
            }
            ++bins[3][size_t((b0 + b1 + b2) / 3)];
        }
    }
    return true;
}

#include "display/levelplanner.h"

#include "display/enginerects.h"

#include <algorithm>
#include <cmath>

namespace {

bool usableScale(float s)
{
    return std::isfinite(s) && s > 0.f;
}

} // namespace

CIAPI::ROI LevelPlanner::visibleLevelRect(
    const QSize& levelSize, const QSize& level0, const QPointF& cc, const ImageGeometry& g)
{
    const double s = g.fitScale(), z = g.zoom();
    if (!usableScale(float(s)) || !(z > 0) || level0.isEmpty() || levelSize.isEmpty())
        return CIAPI::ROI {};
    const double W = level0.width(), H = level0.height();
    const double k = double(levelSize.width()) / W;
    const QPointF o = ImageGeometry::rotatePoint(QPointF((cc.x() - 0.5) * W, (cc.y() - 0.5) * H), -g.angle());
    const double a = g.panX() / s + (g.mirrored() ? -o.x() : o.x());
    const double b = g.panY() / s + o.y();
    const double hw = g.viewWidth() / s / z / 2, hh = g.viewHeight() / s / z / 2;
    QPointF p1(-hw - a, -hh - b), p2(hw - a, hh - b);
    if (g.mirrored()) {
        p1.setX(-p1.x());
        p2.setX(-p2.x());
    }
    p1 = ImageGeometry::rotatePoint(p1, g.angle()) + QPointF(W * cc.x(), H * cc.y());
    p2 = ImageGeometry::rotatePoint(p2, g.angle()) + QPointF(W * cc.x(), H * cc.y());
    const auto clampInt = [](double v, int lo, int hi) {
        if (!std::isfinite(v))
            return v > 0 ? hi : lo;
        return int(std::max<double>(lo, std::min<double>(hi, v)));
    };
    CIAPI::ROI r;
    r.x0 = clampInt(std::floor(std::min(p1.x(), p2.x()) * k), 0, levelSize.width());
    r.y0 = clampInt(std::floor(std::min(p1.y(), p2.y()) * k), 0, levelSize.height());
    r.x1 = clampInt(std::ceil(std::max(p1.x(), p2.x()) * k), 0, levelSize.width());
    r.y1 = clampInt(std::ceil(std::max(p1.y(), p2.y()) * k), 0, levelSize.height());
    return r;
}

int LevelPlanner::chooseLevel(
    const std::vector<QSize>& levels, const QPointF& cc, const ImageGeometry& g, double dpr)
{
    if (levels.empty())
        return 0;
    const QSizeF needed = g.orientedSize() * dpr * std::min(double(g.zoom()), 1.0);
    const double n = std::floor(needed.width() * needed.height());
    for (int level = int(levels.size()) - 1; level >= 0; --level) {
        const CIAPI::ROI r = visibleLevelRect(levels[size_t(level)], levels[0], cc, g);
        if (double(r.width()) * double(r.height()) >= n && !r.empty())
            return level;
    }
    return 0;
}

QRect LevelPlanner::wantedRegion(
    int level, const std::vector<QSize>& levels, const QPointF& cc, const ImageGeometry& g)
{
    if (level < 0 || level >= int(levels.size()))
        return QRect();
    const QSize size = levels[size_t(level)];
    const QRect whole(QPoint(0, 0), size);
    if (level == int(levels.size()) - 1)
        return whole;
    const CIAPI::ROI visible = visibleLevelRect(size, levels[0], cc, g);
    if (visible.empty())
        return QRect();
    const QRect v = fromEngineRect(visible);
    QRect r(QPoint(v.left() & ~0x1ff, v.top() & ~0x1ff), QPoint(v.right() | 0x1ff, v.bottom() | 0x1ff));
    r &= whole;
    if (whole.right() - r.right() < kBlock)
        r.setRight(whole.right());
    if (whole.bottom() - r.bottom() < kBlock)
        r.setBottom(whole.bottom());
    return r;
}

void LevelPlanner::setLevels(const CIAPI::ImagePyramid& pyramid)
{
    m_levelSizes.clear();
    const int levels = pyramid.isNull() ? 0 : pyramid.levelCount();
    for (int i = 0; i < levels; ++i)
        m_levelSizes.push_back(QSize(pyramid[i].width(), pyramid[i].height()));
    resetRegions();
}

void LevelPlanner::clear()
{
    m_levelSizes.clear();
    resetRegions();
}

void LevelPlanner::resetRegions()
{
    const size_t n = m_levelSizes.size();
    m_asked.assign(n, QRegion());
    m_received.assign(n, QRegion());
    m_dirty.assign(n, QRegion());
}

const QRegion& LevelPlanner::ask(int level, const QRect& wanted)
{
    QRegion& asked = m_asked.at(size_t(level));
    asked |= wanted;
    return asked;
}

bool LevelPlanner::receive(const CIAPI::ROI& rect, int level)
{
    if (level < 0 || level >= levelCount())
        return false;
    const QRect r = fromEngineRect(rect) & QRect(QPoint(0, 0), m_levelSizes[size_t(level)]);
    if (r.isEmpty())
        return false;
    m_dirty[size_t(level)] |= r;
    m_received[size_t(level)] |= r;
    return true;
}

qint64 LevelPlanner::askedArea(int level) const
{
    return regionArea(m_asked.at(size_t(level)));
}

qint64 LevelPlanner::receivedArea(int level) const
{
    return regionArea(m_received.at(size_t(level)) & m_asked.at(size_t(level)));
}

void LevelPlanner::markReceivedDirty()
{
    for (size_t level = 0; level < m_received.size(); ++level)
        m_dirty[level] |= m_received[level];
}

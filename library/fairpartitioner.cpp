#include "library/fairpartitioner.h"

#include <QTimer>

#include <algorithm>
#include <cmath>

#include "library/cellwindow.h"

namespace {

bool same(double a, double b)
{
    return std::abs(a - b) * 1e12 <= qMin(std::abs(a), std::abs(b));
}

} // namespace

FairPartitioner::FairPartitioner(QQuickItem* parent)
    : QQuickItem(parent)
{ }

QVector<QSizeF> FairPartitioner::layout(const QVector<QSize>& natural, double width, double spacing,
    double baseRowHeight, double expansionism, double capUpscaling)
{
    const int n = natural.size();
    QVector<QSizeF> sizes(n);
    QVector<double> aspect(n);
    double total = 0;
    for (int i = 0; i < n; ++i) {
        // A picture that gives no size (an unreadable file) is shown as 4:3.
        const QSize size = natural[i];
        aspect[i] = size.width() > 0 && size.height() > 0 ? double(size.width()) / size.height() : 4.0 / 3.0;
        sizes[i] = QSizeF(aspect[i] * baseRowHeight, baseRowHeight);
        total += sizes[i].width() + spacing;
    }
    if (n == 0)
        return sizes;
    const int rows = n > 3 ? qMax(1, int(total / (spacing + width) + expansionism)) : 1;
    const double target = total / rows;

    auto scaleRow = [&](int first, int end, double sumN, double sumW, double fallback) {
        if (first >= end)
            return fallback;
        double q = (spacing + width - sumN) / sumW + 1;
        if (q > capUpscaling)
            q = fallback;
        double x = -spacing;
        for (int i = first; i < end; ++i) {
            const double h = q * baseRowHeight;
            sizes[i] = QSizeF(aspect[i] * h, h);
            x += sizes[i].width() + spacing;
        }
        if (x > width - 0.5)
            sizes[end - 1].setWidth(sizes[end - 1].width() - (x - (width - 0.5)));
        return q;
    };

    double a = 0, sumN = 0, sumW = 0, previous = capUpscaling;
    int start = 0;
    for (int i = 0; i < n; ++i) {
        const double w = aspect[i] * baseRowHeight;
        const int k = i - start;
        const double f = double(k) / (k + 1);
        a += f * w + spacing;
        if (a > target) {
            a -= target;
            previous = scaleRow(start, i, sumN, sumW, previous);
            start = i;
            sumN = 0;
            sumW = 0;
        }
        a += w - f * w;
        sumN += w + spacing;
        sumW += w;
    }
    scaleRow(start, n, sumN, sumW, previous);
    return sizes;
}

QVector<QRectF> FairPartitioner::flow(const QVector<QSizeF>& sizes, double width, double spacing)
{
    // As a Flow places its items: left to right, to the next row when one would pass the
    // width, each row as high as its highest item.
    QVector<QRectF> places(sizes.size());
    double x = 0;
    double y = 0;
    double line = 0;
    for (int i = 0; i < sizes.size(); ++i) {
        const QSizeF size = sizes[i];
        if (x != 0 && x + size.width() > width) {
            x = 0;
            y += line + spacing;
            line = 0;
        }
        places[i] = QRectF(QPointF(x, y), size);
        x += size.width() + spacing;
        line = qMax(line, size.height());
    }
    return places;
}

CellWindow* FairPartitioner::window() const
{
    return m_window;
}

void FairPartitioner::partition()
{
    m_partitionPending = false;
    if (!m_model)
        return;
    const int n = m_model->rowCount();
    QVector<QSize> natural(n);
    for (int i = 0; i < n; ++i)
        natural[i] = m_model->index(i, 0).data(Qt::SizeHintRole).toSize();
    m_sizes = layout(natural, m_width, m_spacing, m_baseRowHeight, m_expansionism, m_capUpscaling);
    m_places = flow(m_sizes, m_width, m_spacing);
    m_rowStarts.clear();
    double height = 0;
    for (int i = 0; i < n; ++i) {
        if (i == 0 || m_places[i].y() != m_places[i - 1].y())
            m_rowStarts.push_back(i);
        height = qMax(height, m_places[i].bottom());
    }
    if (!same(height, m_contentHeight)) {
        m_contentHeight = height;
        emit contentHeightChanged();
    }
    updateWindow();
    place();
    const int held = heldRow();
    if (held >= 0 && held < m_places.size()) {
        const double top = m_places[held].y();
        if (!same(top, m_heldTop)) {
            const double dy = top - m_heldTop;
            m_heldTop = top;
            emit heldRowShifted(dy);
        }
    }
}

void FairPartitioner::holdRowAt(double y)
{
    if (y < 0 || !m_model) {
        m_held = QPersistentModelIndex();
        return;
    }
    // While rows came or went and are not laid out yet the places are not the rows': the
    // row held before stays held.
    const int n = m_model->rowCount();
    if (m_places.size() != n)
        return;
    for (int i = 0; i < n; ++i) {
        if (m_places[i].bottom() > y) {
            m_held = QPersistentModelIndex(m_model->index(i, 0));
            m_heldTop = m_places[i].y();
            return;
        }
    }
    m_held = QPersistentModelIndex();
}

void FairPartitioner::updateWindow()
{
    if (!m_window)
        return;
    // The rows that meet the view: from the last row starting at or above its top to the
    // last row starting above its bottom.
    const auto rowAt = [this](double y) {
        const auto after = std::upper_bound(m_rowStarts.cbegin(), m_rowStarts.cend(), y,
            [this](double value, int row) { return value < m_places[row].y(); });
        return int(after - m_rowStarts.cbegin()) - 1;
    };
    const int top = qMax(0, rowAt(m_viewTop));
    const int bottom = rowAt(m_viewBottom);
    if (m_rowStarts.empty() || bottom < top || m_viewBottom < 0 || m_viewTop > m_contentHeight) {
        m_window->setRange(0, -1);
        return;
    }
    const int first = m_rowStarts[size_t(top)];
    const int last
        = size_t(bottom + 1) < m_rowStarts.size() ? m_rowStarts[size_t(bottom + 1)] - 1 : m_places.size() - 1;
    m_window->setRange(first, last);
}

void FairPartitioner::place()
{
    if (!m_target)
        return;
    // The items in row order: the Repeater's own when there is one (items it let go of may
    // linger among the children a while), else the children before the last one.
    QList<QQuickItem*> children;
    int n = 0;
    if (m_repeater) {
        n = m_repeater->property("count").toInt();
        for (int i = 0; i < n; ++i) {
            QQuickItem* item = nullptr;
            QMetaObject::invokeMethod(m_repeater, "itemAt", Q_RETURN_ARG(QQuickItem*, item), Q_ARG(int, i));
            children.append(item);
        }
    } else {
        children = m_target->childItems();
        n = children.size() - 1; // the last child is the Repeater
    }
    const int first = m_window ? m_window->first() : 0;
    QList<QQuickItem*> moved;
    QList<QQuickItem*> resized;
    const bool targetBlocked = m_target->blockSignals(true);
    for (int i = 0; i < n; ++i) {
        QQuickItem* child = children[i];
        if (!child)
            continue;
        // A row not laid out yet (it came this turn) waits, drawn at no size.
        const int row = first + i;
        const QRectF place = row < m_places.size() ? m_places[row] : QRectF();
        const bool blocked = child->blockSignals(true);
        if (child->position() != place.topLeft()) {
            child->setPosition(place.topLeft());
            moved.append(child);
        }
        if (!same(child->width(), place.width()) || !same(child->height(), place.height())) {
            child->setSize(place.size());
            resized.append(child);
        }
        child->blockSignals(blocked);
    }
    m_target->blockSignals(targetBlocked);
    // The signals held back go out once every item has its place, so bindings read the
    // layout whole.
    for (QQuickItem* child : qAsConst(moved)) {
        emit child->xChanged();
        emit child->yChanged();
    }
    for (QQuickItem* child : qAsConst(resized)) {
        emit child->widthChanged();
        emit child->heightChanged();
    }
}

void FairPartitioner::schedulePartition()
{
    if (m_partitionPending)
        return;
    m_partitionPending = true;
    QTimer::singleShot(0, this, [this] {
        if (m_partitionPending)
            partition();
    });
}

void FairPartitioner::setModel(QAbstractItemModel* model)
{
    if (m_model)
        disconnect(m_model, nullptr, this, nullptr);
    m_model = model;
    m_held = QPersistentModelIndex();
    if (model) {
        connect(model, &QAbstractItemModel::dataChanged, this, &FairPartitioner::onDataChanged);
        connect(model, &QAbstractItemModel::layoutChanged, this, &FairPartitioner::partition);
        connect(model, &QAbstractItemModel::modelReset, this, &FairPartitioner::partition);
        connect(model, &QAbstractItemModel::rowsInserted, this, &FairPartitioner::schedulePartition);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &FairPartitioner::schedulePartition);
        connect(model, &QAbstractItemModel::rowsMoved, this, &FairPartitioner::schedulePartition);
    }
    partition();
    emit modelChanged(model);
}

void FairPartitioner::onDataChanged(const QModelIndex&, const QModelIndex&, const QVector<int>& roles)
{
    if (roles.isEmpty() || roles.contains(Qt::SizeHintRole))
        partition();
}

void FairPartitioner::setWindow(CellWindow* window)
{
    if (window == m_window)
        return;
    if (m_window)
        disconnect(m_window, nullptr, this, nullptr);
    m_window = window;
    if (window)
        connect(window, &CellWindow::firstChanged, this, &FairPartitioner::place);
    updateWindow();
    place();
    emit windowChanged();
}

void FairPartitioner::setRepeater(QQuickItem* repeater)
{
    if (repeater == m_repeater)
        return;
    m_repeater = repeater;
    place();
    emit repeaterChanged();
}

void FairPartitioner::setViewTop(double top)
{
    if (top == m_viewTop)
        return;
    m_viewTop = top;
    updateWindow();
    emit viewTopChanged();
}

void FairPartitioner::setViewBottom(double bottom)
{
    if (bottom == m_viewBottom)
        return;
    m_viewBottom = bottom;
    updateWindow();
    emit viewBottomChanged();
}

void FairPartitioner::setItemParent(QQuickItem* item)
{
    if (item == m_itemParent)
        return;
    m_itemParent = item;
    partition();
    emit itemParentChanged(item);
}

void FairPartitioner::setTarget(QQuickItem* item)
{
    if (item == m_target)
        return;
    m_target = item;
    partition();
    emit targetChanged(item);
}

#define OSTRA_PARTITIONER_SETTER(name, member, signal)                                                       \
    void FairPartitioner::name(double value)                                                                 \
    {                                                                                                        \
        if (same(value, member))                                                                             \
            return;                                                                                          \
        member = value;                                                                                      \
        partition();                                                                                         \
        emit signal(value);                                                                                  \
    }

OSTRA_PARTITIONER_SETTER(setWidth, m_width, rowWidthChanged)
OSTRA_PARTITIONER_SETTER(setSpacing, m_spacing, spacingChanged)
OSTRA_PARTITIONER_SETTER(setBaseRowHeight, m_baseRowHeight, baseRowHeightChanged)
OSTRA_PARTITIONER_SETTER(setExpansionism, m_expansionism, expansionismChanged)
OSTRA_PARTITIONER_SETTER(setCapUpscaling, m_capUpscaling, capUpscalingChanged)

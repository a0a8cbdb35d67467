#include "library/fairpartitioner.h"

#include <cmath>

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

void FairPartitioner::partition()
{
    if (!m_target || !m_model || !m_itemParent)
        return;
    const QList<QQuickItem*> children = m_target->childItems();
    const int n = children.size() - 1; // the last child is the Repeater
    if (n < 0 || m_model->rowCount() != n)
        return;
    QVector<QSize> natural(n);
    for (int i = 0; i < n; ++i) {
        if (!children[i])
            return;
        natural[i] = m_model->index(i, 0).data(Qt::SizeHintRole).toSize();
    }
    m_sizes = layout(natural, m_width, m_spacing, m_baseRowHeight, m_expansionism, m_capUpscaling);

    QList<QQuickItem*> resized;
    const bool targetBlocked = m_target->blockSignals(true);
    for (int i = 0; i < n; ++i) {
        QQuickItem* child = children[i];
        const bool blocked = child->blockSignals(true);
        if (!same(child->width(), m_sizes[i].width()) || !same(child->height(), m_sizes[i].height())) {
            child->setSize(m_sizes[i]);
            resized.append(child);
        }
        child->blockSignals(blocked);
    }
    m_target->blockSignals(targetBlocked);
    QMetaObject::invokeMethod(m_target, "forceLayout");
    for (QQuickItem* child : qAsConst(resized))
        emit child->heightChanged();
    const int held = heldRow();
    if (held >= 0 && held < n) {
        const double top = children[held]->y();
        if (!same(top, m_heldTop)) {
            const double dy = top - m_heldTop;
            m_heldTop = top;
            emit heldRowShifted(dy);
        }
    }
}

void FairPartitioner::holdRowAt(double y)
{
    if (y < 0 || !m_target || !m_model) {
        m_held = QPersistentModelIndex();
        return;
    }
    const QList<QQuickItem*> children = m_target->childItems();
    const int n = children.size() - 1; // the last child is the Repeater
    // While the Repeater is between two model changes its cells are not the rows: the
    // row held before stays held.
    if (n < 0 || m_model->rowCount() != n)
        return;
    for (int i = 0; i < n; ++i) {
        if (children[i]->y() + children[i]->height() > y) {
            m_held = QPersistentModelIndex(m_model->index(i, 0));
            m_heldTop = children[i]->y();
            return;
        }
    }
    m_held = QPersistentModelIndex();
}

void FairPartitioner::setModel(QAbstractItemModel* model)
{
    if (m_model) {
        disconnect(m_model, &QAbstractItemModel::dataChanged, this, &FairPartitioner::onDataChanged);
        disconnect(m_model, &QAbstractItemModel::layoutChanged, this, &FairPartitioner::partition);
    }
    m_model = model;
    m_held = QPersistentModelIndex();
    if (model) {
        connect(model, &QAbstractItemModel::dataChanged, this, &FairPartitioner::onDataChanged);
        connect(model, &QAbstractItemModel::layoutChanged, this, &FairPartitioner::partition);
    }
    partition();
    emit modelChanged(model);
}

void FairPartitioner::onDataChanged(const QModelIndex&, const QModelIndex&, const QVector<int>& roles)
{
    if (roles.isEmpty() || roles.contains(Qt::SizeHintRole))
        partition();
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

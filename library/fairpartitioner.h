#pragma once

#include <QAbstractItemModel>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QQuickItem>
#include <QSize>
#include <QVector>

// Lays pictures out in justified rows: each keeps its aspect ratio, the pictures of a row
// share one height and each row fills the width. Sizes the target's child items (a Flow
// filled by a Repeater, which is the last child) and asks the target to lay them out.
class FairPartitioner : public QQuickItem
{
    Q_OBJECT
    Q_PROPERTY(QAbstractItemModel* model READ model WRITE setModel NOTIFY modelChanged)
    Q_PROPERTY(QQuickItem* itemParent READ itemParent WRITE setItemParent NOTIFY itemParentChanged)
    Q_PROPERTY(QQuickItem* target READ target WRITE setTarget NOTIFY targetChanged)
    Q_PROPERTY(double width READ rowWidth WRITE setWidth NOTIFY rowWidthChanged)
    Q_PROPERTY(double spacing READ spacing WRITE setSpacing NOTIFY spacingChanged)
    Q_PROPERTY(double baseRowHeight READ baseRowHeight WRITE setBaseRowHeight NOTIFY baseRowHeightChanged)
    Q_PROPERTY(double expansionism READ expansionism WRITE setExpansionism NOTIFY expansionismChanged)
    Q_PROPERTY(double capUpscaling READ capUpscaling WRITE setCapUpscaling NOTIFY capUpscalingChanged)
public:
    explicit FairPartitioner(QQuickItem* parent = nullptr);

    QAbstractItemModel* model() const { return m_model; }
    QQuickItem* itemParent() const { return m_itemParent; }
    QQuickItem* target() const { return m_target; }
    double rowWidth() const { return m_width; }
    double spacing() const { return m_spacing; }
    double baseRowHeight() const { return m_baseRowHeight; }
    double expansionism() const { return m_expansionism; }
    double capUpscaling() const { return m_capUpscaling; }

    // Keeps one row in place while rows are added, removed or move before it: holds the
    // row of the first cell that reaches below `y` (target coordinates), and each layout
    // that moves that cell tells by how much (heldRowShifted). A negative `y` holds none.
    Q_INVOKABLE void holdRowAt(double y);
    // The held row; -1 when none.
    int heldRow() const { return m_held.isValid() && m_held.model() == m_model ? m_held.row() : -1; }

    // The sizes of the last layout, one per model row.
    const QVector<QSizeF>& sizes() const { return m_sizes; }
    // The rows for the natural sizes (0 × 0 or empty sizes count as 4:3), without items.
    static QVector<QSizeF> layout(const QVector<QSize>& natural, double width, double spacing,
        double baseRowHeight, double expansionism, double capUpscaling);

public slots:
    void partition();
    void setModel(QAbstractItemModel* model);
    void setItemParent(QQuickItem* item);
    void setTarget(QQuickItem* item);
    void setWidth(double width);
    void setSpacing(double spacing);
    void setBaseRowHeight(double height);
    void setExpansionism(double expansionism);
    void setCapUpscaling(double cap);
    void onDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
        const QVector<int>& roles = QVector<int>());

signals:
    void modelChanged(QAbstractItemModel* model);
    void itemParentChanged(QQuickItem* item);
    void targetChanged(QQuickItem* item);
    void rowWidthChanged(double width);
    void spacingChanged(double spacing);
    void baseRowHeightChanged(double height);
    void expansionismChanged(double expansionism);
    void capUpscalingChanged(double cap);
    // The held row's cell moved down by `dy` (up when negative) in the last layout.
    void heldRowShifted(double dy);

private:
    QPointer<QAbstractItemModel> m_model;
    QPointer<QQuickItem> m_itemParent;
    QPointer<QQuickItem> m_target;
    double m_width = 1.0;
    double m_spacing = 0.0;
    double m_baseRowHeight = 220.0;
    double m_expansionism = 0.5;
    double m_capUpscaling = 2.0;
    QVector<QSizeF> m_sizes;
    QPersistentModelIndex m_held;
    double m_heldTop = 0; // the top of its cell when it was last seen
};

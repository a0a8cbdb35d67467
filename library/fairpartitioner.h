#pragma once

#include <QAbstractItemModel>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QQuickItem>
#include <QSize>
#include <QVector>

#include <limits>
#include <vector>

class CellWindow;

// Lays pictures out in justified rows: each keeps its aspect ratio, the pictures of a row
// share one height and each row fills the width. Every model row gets its place from the
// model's size hints alone, so a long section needs items only for the rows in view: the
// window (when set) is kept to the rows that meet the part of the target between viewTop
// and viewBottom, and the target's child items (filled by a Repeater over the window, which
// is the last child) are placed and sized as the window's rows.
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
    Q_PROPERTY(CellWindow* window READ window WRITE setWindow NOTIFY windowChanged)
    // The Repeater that makes the target's items, asked for them in row order.
    Q_PROPERTY(QQuickItem* repeater READ repeater WRITE setRepeater NOTIFY repeaterChanged)
    Q_PROPERTY(double viewTop READ viewTop WRITE setViewTop NOTIFY viewTopChanged)
    Q_PROPERTY(double viewBottom READ viewBottom WRITE setViewBottom NOTIFY viewBottomChanged)
    // The height of all rows laid out.
    Q_PROPERTY(double contentHeight READ contentHeight NOTIFY contentHeightChanged)
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
    CellWindow* window() const;
    QQuickItem* repeater() const { return m_repeater; }
    double viewTop() const { return m_viewTop; }
    double viewBottom() const { return m_viewBottom; }
    double contentHeight() const { return m_contentHeight; }

    // Keeps one row in place while rows are added, removed or move before it: holds the
    // row whose place first reaches below `y` (target coordinates), and each layout that
    // moves that place tells by how much (heldRowShifted). A negative `y` holds none.
    Q_INVOKABLE void holdRowAt(double y);
    // The held row; -1 when none.
    int heldRow() const { return m_held.isValid() && m_held.model() == m_model ? m_held.row() : -1; }

    // The sizes of the last layout, one per model row, and where each one goes.
    const QVector<QSizeF>& sizes() const { return m_sizes; }
    const QVector<QRectF>& places() const { return m_places; }
    // Rows as a Flow of that width and spacing would place them, left to right.
    static QVector<QRectF> flow(const QVector<QSizeF>& sizes, double width, double spacing);
    // The rows for the natural sizes (0 × 0 or empty sizes count as 4:3), without items.
    static QVector<QSizeF> layout(const QVector<QSize>& natural, double width, double spacing,
        double baseRowHeight, double expansionism, double capUpscaling);

public slots:
    void partition();
    // Places the target's items as the window's rows, without laying out again.
    void place();
    void setModel(QAbstractItemModel* model);
    void setItemParent(QQuickItem* item);
    void setTarget(QQuickItem* item);
    void setWidth(double width);
    void setSpacing(double spacing);
    void setBaseRowHeight(double height);
    void setExpansionism(double expansionism);
    void setCapUpscaling(double cap);
    void setWindow(CellWindow* window);
    void setRepeater(QQuickItem* repeater);
    void setViewTop(double top);
    void setViewBottom(double bottom);
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
    void windowChanged();
    void repeaterChanged();
    void viewTopChanged();
    void viewBottomChanged();
    void contentHeightChanged();

private:
    // Lays out once control returns to the event loop, however many rows came or went.
    void schedulePartition();
    // The window: the rows that meet the view.
    void updateWindow();

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
    QVector<QRectF> m_places;
    // The first model row of each laid-out row, in order.
    std::vector<int> m_rowStarts;
    QPointer<CellWindow> m_window;
    QPointer<QQuickItem> m_repeater;
    double m_viewTop = -std::numeric_limits<double>::infinity();
    double m_viewBottom = std::numeric_limits<double>::infinity();
    double m_contentHeight = 0;
    bool m_partitionPending = false;
};

#pragma once

// Checks of what a user reads in a window, measured on the pixels of a grab: every
// visible, enabled text stands out from what lies under it by a contrast of at least
// 4.5:1, and is painted inside its item and inside the window.

#include <QHash>
#include <QImage>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStringList>
#include <QtMath>

namespace ostra::test {

// Relative luminance of a colour (sRGB).
inline double luminance(QRgb c)
{
    const auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : qPow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}

inline double contrastRatio(QRgb a, QRgb b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

// Where a text item paints its text, in its own coordinates.
inline QRectF paintedTextRect(const QQuickItem* item)
{
    const qreal left = item->property("leftPadding").toReal();
    const qreal right = item->property("rightPadding").toReal();
    const qreal top = item->property("topPadding").toReal();
    const qreal bottom = item->property("bottomPadding").toReal();
    const qreal cw = item->property("contentWidth").toReal();
    const qreal ch = item->property("contentHeight").toReal();
    const qreal availW = item->width() - left - right;
    const qreal availH = item->height() - top - bottom;
    const int h = item->property("effectiveHorizontalAlignment").isValid()
        ? item->property("effectiveHorizontalAlignment").toInt()
        : item->property("horizontalAlignment").toInt();
    const int v = item->property("verticalAlignment").toInt();
    const qreal x = left
        + ((h & Qt::AlignRight)          ? availW - cw
                : (h & Qt::AlignHCenter) ? (availW - cw) / 2
                                         : 0);
    const qreal y = top
        + ((v & Qt::AlignBottom)         ? availH - ch
                : (v & Qt::AlignVCenter) ? (availH - ch) / 2
                                         : 0);
    return QRectF(x, y, cw, ch);
}

// The contrast of the text painted in `rect` of `shot`: the strongest pixel against the
// most common colour (the background).
inline double textContrast(const QImage& shot, const QRect& rect)
{
    QHash<QRgb, int> counts;
    const QRect area = rect.intersected(shot.rect());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[shot.pixel(x, y) | 0xff000000u];
    }
    if (counts.isEmpty())
        return 0;
    QRgb background = counts.constBegin().key();
    for (auto it = counts.constBegin(); it != counts.constEnd(); ++it) {
        if (it.value() > counts.value(background))
            background = it.key();
    }
    double best = 1;
    for (auto it = counts.constBegin(); it != counts.constEnd(); ++it)
        best = qMax(best, contrastRatio(it.key(), background));
    return best;
}

inline void collectTextItems(QQuickItem* item, QList<QQuickItem*>& out)
{
    if (!item->isVisible() || item->opacity() <= 0)
        return;
    // A control's indicator (a check mark, an arrow) is a picture, told by its shape and fill.
    QQuickItem* control = item->parentItem();
    if (control && control->property("indicator").value<QQuickItem*>() == item)
        return;
    if (item->inherits("QQuickText") || item->inherits("QQuickTextInput") || item->inherits("QQuickTextEdit"))
        out << item;
    for (QQuickItem* child : item->childItems())
        collectTextItems(child, out);
}

// The visible, enabled texts of `window` (or only those under `root`, such as an open
// popup) that are hard to read or cut off, each with what is wrong; empty when all read
// well.
inline QStringList unreadableTexts(
    QQuickWindow* window, const QImage& shot, QQuickItem* root = nullptr, double minContrast = 4.5)
{
    QStringList problems;
    QList<QQuickItem*> items;
    collectTextItems(root ? root : window->contentItem(), items);
    const QRectF windowRect(0, 0, window->width(), window->height());
    for (QQuickItem* item : qAsConst(items)) {
        const QString text = item->property("text").toString();
        if (text.trimmed().isEmpty() || !item->isEnabled())
            continue;
        const QRectF painted = paintedTextRect(item);
        const QRectF own(0, 0, item->width(), item->height());
        const QRectF scene = item->mapRectToScene(painted);
        const QString name = QStringLiteral("\"%1\"").arg(text.left(40));
        if (!own.adjusted(-1, -1, 1, 1).contains(painted))
            problems << name + QStringLiteral(" overflows its item");
        if (!windowRect.adjusted(-1, -1, 1, 1).contains(scene))
            problems << name + QStringLiteral(" is cut at the window's edge");
        const double ratio = textContrast(shot, scene.toAlignedRect());
        if (ratio < minContrast)
            problems << name + QStringLiteral(" has a contrast of %1").arg(ratio, 0, 'f', 2);
    }
    return problems;
}

} // namespace ostra::test

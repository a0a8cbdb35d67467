#pragma once

// What a user must be able to read in a window, checked on what it draws (header only):
// every text, picture, button, slider and choice box shown lies wholly inside the window
// and inside the boxes that clip it (or is scrolled wholly out of them), a text fits its own
// box, and a text stands out from what is drawn behind it by a contrast of at least 4.5:1,
// measured on the window's pixels.

#include "support/testenvironment.h"

#include <QImage>
#include <QMetaObject>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRectF>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <map>

namespace ostra::test {

// The controls drawn in the application's own style and theme (its qtquickcontrols2.conf,
// which the application reads from its resources), so that a test judges what the user
// sees. Call before the first QML engine is made.
inline void useApplicationStyle()
{
    qputenv("QT_QUICK_CONTROLS_CONF",
        QFile::encodeName(sourceDir() + QStringLiteral("/qml/qtquickcontrols2.conf")));
}

// Relative luminance of a colour (sRGB, 0 for black to 1 for white).
inline double luminance(QRgb c)
{
    const auto linear = [](int v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(c)) + 0.7152 * linear(qGreen(c)) + 0.0722 * linear(qBlue(c));
}

// 1 for equal luminance, 21 for black on white.
inline double contrastRatio(QRgb a, QRgb b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The contrast of what is drawn in `box` of `image`: the colour most common in the box is
// taken as the background, the pixel that differs most from it as the ink. 1 for a box
// of one colour (nothing drawn).
inline double inkContrast(
    const QImage& image, const QRect& box, QRgb* background = nullptr, QRgb* ink = nullptr)
{
    const QRect area = box & image.rect();
    std::map<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[image.pixel(x, y) | 0xff000000u];
    if (counts.empty())
        return 1;
    const QRgb back = std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
        return a.second < b.second;
    })->first;
    QRgb best = back;
    double ratio = 1;
    for (const auto& entry : counts) {
        const double r = contrastRatio(back, entry.first);
        if (r > ratio)
            ratio = r, best = entry.first;
    }
    if (background)
        *background = back;
    if (ink)
        *ink = best;
    return ratio;
}

// Whether the item's class is, or derives from, the Qt Quick class of this name.
inline bool derivesFrom(const QObject* object, const char* className)
{
    for (const QMetaObject* m = object->metaObject(); m; m = m->superClass()) {
        if (qstrcmp(m->className(), className) == 0)
            return true;
    }
    return false;
}

inline bool isTextItem(const QQuickItem* item)
{
    return derivesFrom(item, "QQuickText") || derivesFrom(item, "QQuickTextInput")
        || derivesFrom(item, "QQuickTextEdit");
}

// A name for an item in a fault: its object name, else its class, with its text.
inline QString describeItem(const QQuickItem* item)
{
    QString name = item->objectName();
    for (const QQuickItem* up = item; name.isEmpty() && up; up = up->parentItem())
        name = up->objectName().isEmpty() ? QString() : up->objectName() + QStringLiteral("/…");
    const QString text = item->property("text").toString();
    return QStringLiteral("%1 (%2)%3")
        .arg(name, QLatin1String(item->metaObject()->className()),
            text.isEmpty() ? QString() : QStringLiteral(" \"%1\"").arg(text.left(60)));
}

// The faults a user would meet in `window`: texts, pictures and buttons cut at the edge of
// the window or of a clipping box, texts that do not fit their box (elided texts count,
// unless their object name is in `mayElide`), and texts whose contrast on the window's
// pixels is below `minContrast`. Hidden and transparent items, disabled controls (which
// need no contrast) and items scrolled wholly out of view are passed over; a box that
// scrolls vertically may cut its contents at its top and bottom. With `root`, only what
// lies under it is judged (a popup over a dimmed window, say).
inline QStringList readabilityFaults(QQuickWindow* window, const QSet<QString>& mayElide = {},
    double minContrast = 4.5, QQuickItem* root = nullptr)
{
    QStringList faults;
    if (!window || !window->contentItem())
        return { QStringLiteral("no window") };
    const QImage shot = window->grabWindow().convertToFormat(QImage::Format_RGB32);
    const double scale = window->width() > 0 ? double(shot.width()) / window->width() : 1;
    const QRectF windowRect(0, 0, window->width(), window->height());
    constexpr double slack = 1.0;

    const auto visit = [&](QQuickItem* item, auto&& self) -> void {
        if (!item->isVisible() || item->opacity() <= 0)
            return;
        for (QQuickItem* child : item->childItems())
            self(child, self);
        const bool text = isTextItem(item);
        const bool shown = text || derivesFrom(item, "QQuickImage")
            || derivesFrom(item, "QQuickAbstractButton") || derivesFrom(item, "QQuickSlider")
            || derivesFrom(item, "QQuickComboBox");
        if (!shown || item->width() <= 0 || item->height() <= 0)
            return;
        if (text && item->property("text").toString().trimmed().isEmpty())
            return;
        const QRectF box = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
        // The window, then every clipping box above the item.
        QRectF view = windowRect;
        bool scrolls = false;
        for (QQuickItem* up = item->parentItem(); up; up = up->parentItem()) {
            if (up->clip())
                view &= up->mapRectToScene(QRectF(0, 0, up->width(), up->height()));
            if (derivesFrom(up, "QQuickFlickable") && up->property("contentHeight").toDouble() > up->height())
                scrolls = true;
        }
        if (!view.intersects(box))
            return; // scrolled away
        const bool cutX = box.left() < view.left() - slack || box.right() > view.right() + slack;
        const bool cutY
            = !scrolls && (box.top() < view.top() - slack || box.bottom() > view.bottom() + slack);
        if (cutX || cutY) {
            faults << QStringLiteral("%1 cut: %2,%3 %4x%5 outside %6,%7 %8x%9")
                          .arg(describeItem(item))
                          .arg(box.x())
                          .arg(box.y())
                          .arg(box.width())
                          .arg(box.height())
                          .arg(view.x())
                          .arg(view.y())
                          .arg(view.width())
                          .arg(view.height());
            return;
        }
        if (!text)
            return;
        const bool wider = (derivesFrom(item, "QQuickText") || derivesFrom(item, "QQuickTextInput"))
            && item->property("contentWidth").toDouble() > item->width() + slack;
        if ((wider || item->property("truncated").toBool()) && !mayElide.contains(item->objectName()))
            faults << QStringLiteral("%1 does not fit its box").arg(describeItem(item));
        // Disabled controls need no contrast; a text scrolled partly out of view is
        // measured once it is scrolled in.
        if (!item->isEnabled() || !view.adjusted(-slack, -slack, slack, slack).contains(box))
            return;
        // The box as drawn; a text taller than its box (a single line in a small control) is
        // measured where it is.
        const QRectF drawn = box & view;
        QRgb back = 0, ink = 0;
        const double ratio = inkContrast(shot,
            QRect(QPoint(int(std::floor(drawn.left() * scale)), int(std::floor(drawn.top() * scale))),
                QPoint(
                    int(std::ceil(drawn.right() * scale)) - 1, int(std::ceil(drawn.bottom() * scale)) - 1)),
            &back, &ink);
        if (ratio < minContrast)
            faults << QStringLiteral("%1 contrast %2 (ink #%3 on #%4)")
                          .arg(describeItem(item))
                          .arg(ratio, 0, 'f', 2)
                          .arg(ink & 0xffffff, 6, 16, QLatin1Char('0'))
                          .arg(back & 0xffffff, 6, 16, QLatin1Char('0'));
    };
    visit(root ? root : window->contentItem(), visit);
    return faults;
}

} // namespace ostra::test

#pragma once

#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <qpa/qwindowsysteminterface.h>

#include <functional>

namespace ostra::test {

// Makes `window` the active one. Tests run in parallel on one X server without a window
// manager, where another test's window may hold or take the keyboard focus at any moment:
// asked of the server a few times, then told to Qt directly (the test's key events go to
// the window itself, not through the server).
inline bool activateWindow(QWindow* window)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        window->requestActivate();
        if (QTest::qWaitForWindowActive(window, 2000))
            return true;
    }
    QWindowSystemInterface::handleWindowActivated<QWindowSystemInterface::SynchronousDelivery>(
        window, Qt::ActiveWindowFocusReason);
    return QTest::qWaitForWindowActive(window, 2000);
}

// The item of this name under `root`, delegates included: an item is searched in the item
// tree (where repeaters and views put theirs), a window or a popup in its objects, then
// under its content item.
inline QQuickItem* findItem(QObject* root, const QString& name)
{
    auto* item = qobject_cast<QQuickItem*>(root);
    if (!item) {
        if (!root)
            return nullptr;
        if (auto* found = root->findChild<QQuickItem*>(name))
            return found;
        return findItem(root->property("contentItem").value<QQuickItem*>(), name);
    }
    if (item->objectName() == name)
        return item;
    const auto children = item->childItems();
    for (QQuickItem* child : children) {
        if (QQuickItem* found = findItem(child, name))
            return found;
    }
    return nullptr;
}

// A mouse click on `target` at `fx` of its width, half its height; false without an item
// shown in a window.
inline bool clickItem(QQuickItem* target, double fx = 0.5)
{
    if (!target || !target->window())
        return false;
    QTest::mouseClick(target->window(), Qt::LeftButton, {},
        target->mapToScene(QPointF(target->width() * fx, target->height() / 2)).toPoint());
    return true;
}

// The cells (the children of the rows' Flows) of a FairCollection whose right edge passes
// the left edge of its vertical scroll bar, as "x+width>bar" lines; `cells` tells how many
// cells were looked at.
inline QStringList cellsUnderScrollBar(QQuickItem* collection, int* cells = nullptr)
{
    QStringList faults;
    QQuickItem* bar = findItem(collection, QStringLiteral("collectionScrollBar"));
    if (!bar)
        return { QStringLiteral("no scroll bar") };
    const qreal barLeft = bar->mapToScene(QPointF(0, 0)).x();
    int seen = 0;
    std::function<void(QQuickItem*)> walk = [&](QQuickItem* item) {
        const auto children = item->childItems();
        for (QQuickItem* child : children) {
            if (item->objectName() == QLatin1String("fairCells") && child->isVisible()
                && child->width() > 0) {
                ++seen;
                const qreal left = child->mapToScene(QPointF(0, 0)).x();
                const qreal right = child->mapToScene(QPointF(child->width(), 0)).x();
                if (right > barLeft + 0.01)
                    faults << QStringLiteral("%1+%2>%3").arg(left).arg(right - left).arg(barLeft);
            }
            walk(child);
        }
    };
    walk(collection);
    if (cells)
        *cells = seen;
    return faults;
}

} // namespace ostra::test

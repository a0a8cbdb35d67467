#pragma once

// The application's main window, loaded over the root context the application gives it.

#include "app/rootcontext.h"
#include "support/testenvironment.h"

#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QUrl>

namespace ostra::test {

// Loads the main window into `engine` with `extra` root-context properties after the
// application's own; the window, or null when it did not load.
inline QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine,
    const QVector<ostra::RootContextProperty>& extra = {}, int channelOrder = 0)
{
    ostra::setRootContextProperties(
        engine.rootContext(), ostra::rootContextProperties(channelOrder, false) + extra);
    engine.load(QUrl::fromLocalFile(sourceDir() + QStringLiteral("/qml/AppLayers/WindowMain.qml")));
    return engine.rootObjects().size() == 1 ? qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst())
                                            : nullptr;
}

} // namespace ostra::test

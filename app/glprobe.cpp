#include "app/glprobe.h"
#include "app/logging.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QOpenGLContext>
#include <QQuickWindow>
#include <QTimer>

#include <atomic>
#include <memory>

namespace ostra {

int channelOrderOf(QOpenGLContext* context, int fallback)
{
    if (!context || !context->isValid() || QOpenGLContext::currentContext() != context)
        return fallback;
    return context->hasExtension(QByteArrayLiteral("GL_EXT_bgra")) ? ChannelOrder::kGlBgra
                                                                   : ChannelOrder::kGlRgba;
}

int probeChannelOrder(QQuickWindow* window, int fallback, int timeoutMs)
{
    // Written by the render thread, read here; shared so that a late signal after a
    // timed-out wait still writes to live memory.
    struct State
    {
        std::atomic<int> order;
        std::atomic<bool> done { false };
    };
    auto state = std::make_shared<State>();
    state->order.store(fallback);

    const QMetaObject::Connection connection = QObject::connect(
        window, &QQuickWindow::sceneGraphInitialized, window,
        [state, window, fallback] {
            state->order.store(channelOrderOf(window->openglContext(), fallback));
            state->done.store(true);
            // Wakes the waiting loop below.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
        },
        Qt::DirectConnection);

    if (!state->done.load() && window->isSceneGraphInitialized()) {
        // Initialised before we listened: probe here if the context is usable here.
        state->order.store(channelOrderOf(window->openglContext(), fallback));
        state->done.store(true);
    }

    // The timer is re-armed for the time that is left before every wait: a coarse
    // timer may fire a little early, and a wait with no timer pending would block
    // until some unrelated event arrives.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    while (!state->done.load() && !deadline.hasExpired()) {
        wake.start(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents
            | QEventLoop::ExcludeSocketNotifiers | QEventLoop::WaitForMoreEvents);
    }
    QObject::disconnect(connection);

    if (!state->done.load())
        qCWarning(lcApp, "No scene graph within %d ms; channel order stays %d", timeoutMs, fallback);
    return state->order.load();
}

} // namespace ostra

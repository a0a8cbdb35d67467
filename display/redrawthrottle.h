#pragma once

#include <QBasicTimer>

#include <atomic>

class QObject;

// Coalesces the canvas's redraws. Each change that needs one adds an owed redraw, at most
// two; a refresh that finds nothing to render pays one back. While asked tiles are being
// rendered, a check follows after kRefreshMs, so that a change arriving meanwhile is drawn
// once they are in rather than lost.
class RedrawThrottle
{
public:
    static constexpr int kRefreshMs = 330;

    // A change that needs a redraw (any thread).
    void step();
    // step(); true when this is the only redraw owed, to be done now.
    bool request();
    // Whether a redraw is owed.
    bool owed() const { return m_counter.load() >= 1; }
    // Tiles were asked of the engine.
    void markRendering() { m_rendering = true; }
    // Starts the check for `receiver`'s timerEvent while tiles are being rendered.
    void scheduleCheck(QObject* receiver);
    bool isCheck(int timerId) const { return timerId == m_timer.timerId(); }
    bool checkPending() const { return m_timer.isActive(); }
    // A refresh begins: the check and the rendering mark end.
    void beginRefresh();
    // The refresh found nothing to render: one owed redraw is paid.
    void settle();
    void cancelCheck() { m_timer.stop(); }

private:
    QBasicTimer m_timer;
    bool m_rendering = false;
    std::atomic<int> m_counter { 0 };
};

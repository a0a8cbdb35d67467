#pragma once

#include <QObject>

#include <functional>
#include <mutex>

// The owner of work that runs on another thread, as that work reaches it: a function
// posted through it runs on the owner's thread while the owner is there, and none is
// posted once the owner has closed it (first thing in its destructor). Shared by the owner
// and its tasks, which may outlive it.
class ReplyTarget
{
public:
    explicit ReplyTarget(QObject* owner);

    // No function is posted from now on.
    void close();

    // Queues `f` to the owner's thread; false once closed. A function queued before the
    // owner closed it and still waiting when it goes is dropped with the owner's events.
    bool post(std::function<void()> f);

private:
    std::mutex m_mutex;
    QObject* m_owner;
};

#pragma once

#include <QMutex>
#include <QWaitCondition>
#include <QtGlobal>

#include <functional>

// A blocking pool of numbered slots (fewer than 32) with a limit on how many may be
// busy at once. A slot goes free -> busy (acquire) -> recycling (release) -> free
// (end of the recycle task handed to `post`). A slot acquired with `mark` may be
// taken back by a later acquire when the busy limit would otherwise be exceeded.
class CircularPool
{
public:
    using SlotFunction = std::function<void(int)>;
    using PostFunction = std::function<void(std::function<void()>)>;

    static constexpr int maxSlots = 31;

    // `release` runs with the pool's mutex held and must not call back into the
    // pool; `recycle` runs without it on whatever `post` chooses, which must not be
    // a thread that waits in acquire().
    CircularPool(int count, quint64 busyLimit, SlotFunction release, SlotFunction recycle, PostFunction post);
    virtual ~CircularPool();

    CircularPool(const CircularPool&) = delete;
    CircularPool& operator=(const CircularPool&) = delete;

    // Returns the index of a slot that is now busy; blocks while none is free.
    int acquire(bool mark);
    // The same without waiting: -1 when no slot is free now (a marked slot taken back
    // meanwhile is free once its recycle task has run).
    int tryAcquire(bool mark);

    // Gives slot i back; a slot that is not busy is left alone.
    void release(int i);

    // Snapshot of the four masks, for diagnostics and tests.
    struct Masks
    {
        quint32 recycling;
        quint32 free;
        quint32 marked;
        quint32 busy;
    };
    Masks masks() const;

private:
    void reclaimLocked(int newSlots);
    void releaseLocked(int i);

    SlotFunction m_release;
    SlotFunction m_recycle;
    PostFunction m_post;
    quint64 m_busyLimit;
    quint32 m_recycling = 0;
    quint32 m_free = 0;
    quint32 m_marked = 0;
    quint32 m_busy = 0;
    mutable QMutex m_mutex;
    QWaitCondition m_condition;
};

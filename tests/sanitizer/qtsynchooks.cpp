// Linked into the test programs of a ThreadSanitizer build only.
//
// Qt is not built with the sanitizer: its locks, waits, thread starts and joins and the
// hand-over of queued calls between threads happen inside Qt, where the sanitizer sees
// neither the lock nor the order it makes. Every access guarded by a QMutex would be
// reported as a race. The entry points our code calls are defined here once more: each
// calls Qt's own (looked up behind this program) and tells the sanitizer the order it
// makes (acquire after taking, release before handing over). Calls Qt makes inside its
// own library stay unseen, except its wake-up of a thread an event was posted to.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QFutureInterfaceBase>
#include <QMutex>
#include <QObject>
#include <QReadWriteLock>
#include <QRunnable>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QWaitCondition>
#include <QtCore/private/qobject_p.h>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

extern "C" {
typedef struct _GMainContext GMainContext;
}

namespace {

void* real(const char* name)
{
    void* function = dlsym(RTLD_NEXT, name);
    if (!function) {
        std::fprintf(stderr, "qtsynchooks: %s not found\n", name);
        std::abort();
    }
    return function;
}

template <typename Function> Function lookup(const char* name)
{
    return reinterpret_cast<Function>(real(name));
}

// Keys of their own for the end of a thread or of a pool's task, and for what was queued
// to an object.
const void* endOf(const void* object)
{
    return reinterpret_cast<const char*>(object) + 1;
}
void* queuedTo(const QObject* object)
{
    return const_cast<char*>(reinterpret_cast<const char*>(object) + 2);
}

// The main context whose wake-ups tell this thread of events posted to it.
GMainContext* currentContext()
{
    static const auto threadDefault
        = reinterpret_cast<GMainContext* (*)()>(dlsym(RTLD_DEFAULT, "g_main_context_get_thread_default"));
    static const auto globalDefault
        = reinterpret_cast<GMainContext* (*)()>(dlsym(RTLD_DEFAULT, "g_main_context_default"));
    GMainContext* context = threadDefault ? threadDefault() : nullptr;
    return context || !globalDefault ? context : globalDefault();
}

// Every event, on the thread it is delivered on, before it is delivered: what was posted
// to this thread before it was woken, queued to the receiver or emitted by the sender of
// a queued signal happened before. (A thread whose loop has not begun yet is not woken.)
bool onEvent(void** data)
{
    if (GMainContext* context = currentContext())
        __tsan_acquire(context);
    if (const auto* receiver = static_cast<QObject*>(data[0]))
        __tsan_acquire(queuedTo(receiver));
    const auto* event = static_cast<QEvent*>(data[1]);
    if (event && event->type() == QEvent::MetaCall) {
        if (const QObject* sender = static_cast<const QAbstractMetaCallEvent*>(event)->sender())
            __tsan_acquire(const_cast<QObject*>(sender));
    }
    return false;
}

struct Registration
{
    Registration() { QInternal::registerCallback(QInternal::EventNotifyCallback, onEvent); }
} g_registration;

// A pool's task: begins after it was started, and its end comes before the pool's wait.
class OrderedRunnable : public QRunnable
{
public:
    OrderedRunnable(QRunnable* inner, QThreadPool* pool)
        : m_inner(inner)
        , m_pool(pool)
    {
        __tsan_release(this);
    }
    void run() override
    {
        __tsan_acquire(this);
        const bool autoDelete = m_inner->autoDelete();
        m_inner->run();
        if (autoDelete)
            delete m_inner;
        __tsan_release(const_cast<void*>(endOf(m_pool)));
    }

private:
    QRunnable* m_inner;
    QThreadPool* m_pool;
};

// The same for a function: released once it is wrapped, just before it is handed to Qt
// (which moves the wrapper, not the heap block that holds it).
struct OrderedFunction
{
    std::function<void()> function;
    QThreadPool* pool;
    void operator()()
    {
        __tsan_acquire(this);
        function();
        __tsan_release(const_cast<void*>(endOf(pool)));
    }
};

std::function<void()> ordered(std::function<void()> function, QThreadPool* pool)
{
    std::function<void()> wrapped = OrderedFunction { std::move(function), pool };
    __tsan_release(wrapped.target<OrderedFunction>());
    return wrapped;
}

} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto original = lookup<void (*)(QMutex*)>("_ZN6QMutex4lockEv");
    original(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto original = lookup<bool (*)(QMutex*, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = original(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto original = lookup<void (*)(QMutex*)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    original(this);
}

// The slow paths of a QBasicMutex locked inline (its fast paths are atomics the sanitizer
// sees, on the same address).
void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto original = lookup<void (*)(QBasicMutex*)>("_ZN11QBasicMutex12lockInternalEv");
    original(this);
    __tsan_acquire(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto original = lookup<bool (*)(QBasicMutex*, int)>("_ZN11QBasicMutex12lockInternalEi");
    const bool locked = original(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QBasicMutex::unlockInternal() noexcept
{
    static const auto original = lookup<void (*)(QBasicMutex*)>("_ZN11QBasicMutex14unlockInternalEv");
    __tsan_release(this);
    original(this);
}

void QReadWriteLock::lockForRead()
{
    static const auto original = lookup<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock11lockForReadEv");
    original(this);
    __tsan_acquire(this);
}

bool QReadWriteLock::tryLockForRead()
{
    static const auto original = lookup<bool (*)(QReadWriteLock*)>("_ZN14QReadWriteLock14tryLockForReadEv");
    const bool locked = original(this);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

bool QReadWriteLock::tryLockForRead(int timeout)
{
    static const auto original
        = lookup<bool (*)(QReadWriteLock*, int)>("_ZN14QReadWriteLock14tryLockForReadEi");
    const bool locked = original(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QReadWriteLock::lockForWrite()
{
    static const auto original = lookup<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock12lockForWriteEv");
    original(this);
    __tsan_acquire(this);
}

bool QReadWriteLock::tryLockForWrite()
{
    static const auto original = lookup<bool (*)(QReadWriteLock*)>("_ZN14QReadWriteLock15tryLockForWriteEv");
    const bool locked = original(this);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

bool QReadWriteLock::tryLockForWrite(int timeout)
{
    static const auto original
        = lookup<bool (*)(QReadWriteLock*, int)>("_ZN14QReadWriteLock15tryLockForWriteEi");
    const bool locked = original(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QReadWriteLock::unlock()
{
    static const auto original = lookup<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock6unlockEv");
    __tsan_release(this);
    original(this);
}

bool QWaitCondition::wait(QMutex* lockedMutex, QDeadlineTimer deadline)
{
    static const auto original = lookup<bool (*)(QWaitCondition*, QMutex*, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(lockedMutex);
    const bool woken = original(this, lockedMutex, deadline);
    __tsan_acquire(this);
    __tsan_acquire(lockedMutex);
    return woken;
}

bool QWaitCondition::wait(QMutex* lockedMutex, unsigned long time)
{
    static const auto original
        = lookup<bool (*)(QWaitCondition*, QMutex*, unsigned long)>("_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(lockedMutex);
    const bool woken = original(this, lockedMutex, time);
    __tsan_acquire(this);
    __tsan_acquire(lockedMutex);
    return woken;
}

bool QWaitCondition::wait(QReadWriteLock* lockedReadWriteLock, QDeadlineTimer deadline)
{
    static const auto original = lookup<bool (*)(QWaitCondition*, QReadWriteLock*, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP14QReadWriteLock14QDeadlineTimer");
    __tsan_release(lockedReadWriteLock);
    const bool woken = original(this, lockedReadWriteLock, deadline);
    __tsan_acquire(this);
    __tsan_acquire(lockedReadWriteLock);
    return woken;
}

bool QWaitCondition::wait(QReadWriteLock* lockedReadWriteLock, unsigned long time)
{
    static const auto original = lookup<bool (*)(QWaitCondition*, QReadWriteLock*, unsigned long)>(
        "_ZN14QWaitCondition4waitEP14QReadWriteLockm");
    __tsan_release(lockedReadWriteLock);
    const bool woken = original(this, lockedReadWriteLock, time);
    __tsan_acquire(this);
    __tsan_acquire(lockedReadWriteLock);
    return woken;
}

void QWaitCondition::wakeOne()
{
    static const auto original = lookup<void (*)(QWaitCondition*)>("_ZN14QWaitCondition7wakeOneEv");
    __tsan_release(this);
    original(this);
}

void QWaitCondition::wakeAll()
{
    static const auto original = lookup<void (*)(QWaitCondition*)>("_ZN14QWaitCondition7wakeAllEv");
    __tsan_release(this);
    original(this);
}

void QSemaphore::acquire(int n)
{
    static const auto original = lookup<void (*)(QSemaphore*, int)>("_ZN10QSemaphore7acquireEi");
    original(this, n);
    __tsan_acquire(this);
}

bool QSemaphore::tryAcquire(int n)
{
    static const auto original = lookup<bool (*)(QSemaphore*, int)>("_ZN10QSemaphore10tryAcquireEi");
    const bool acquired = original(this, n);
    if (acquired)
        __tsan_acquire(this);
    return acquired;
}

bool QSemaphore::tryAcquire(int n, int timeout)
{
    static const auto original = lookup<bool (*)(QSemaphore*, int, int)>("_ZN10QSemaphore10tryAcquireEii");
    const bool acquired = original(this, n, timeout);
    if (acquired)
        __tsan_acquire(this);
    return acquired;
}

void QSemaphore::release(int n)
{
    static const auto original = lookup<void (*)(QSemaphore*, int)>("_ZN10QSemaphore7releaseEi");
    __tsan_release(this);
    original(this, n);
}

// A thread begins after it was started and ends before a wait for it returns.
void QThread::start(Priority priority)
{
    static const auto original = lookup<void (*)(QThread*, Priority)>("_ZN7QThread5startENS_8PriorityE");
    if (!property("qtsynchooks").toBool()) {
        setProperty("qtsynchooks", true);
        QObject::connect(this, &QThread::started, [thread = this]() { __tsan_acquire(thread); });
        QObject::connect(this, &QThread::finished,
            [thread = this]() { __tsan_release(const_cast<void*>(endOf(thread))); });
    }
    __tsan_release(this);
    original(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto original
        = lookup<bool (*)(QThread*, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = original(this, deadline);
    if (ended)
        __tsan_acquire(const_cast<void*>(endOf(this)));
    return ended;
}

bool QThread::wait(unsigned long time)
{
    static const auto original = lookup<bool (*)(QThread*, unsigned long)>("_ZN7QThread4waitEm");
    const bool ended = original(this, time);
    if (ended)
        __tsan_acquire(const_cast<void*>(endOf(this)));
    return ended;
}

bool QThread::isFinished() const
{
    static const auto original = lookup<bool (*)(const QThread*)>("_ZNK7QThread10isFinishedEv");
    const bool finished = original(this);
    if (finished)
        __tsan_acquire(const_cast<void*>(endOf(this)));
    return finished;
}

void QThreadPool::start(QRunnable* runnable, int priority)
{
    static const auto original
        = lookup<void (*)(QThreadPool*, QRunnable*, int)>("_ZN11QThreadPool5startEP9QRunnablei");
    if (!runnable)
        return;
    original(this, new OrderedRunnable(runnable, this), priority);
}

bool QThreadPool::tryStart(QRunnable* runnable)
{
    static const auto original
        = lookup<bool (*)(QThreadPool*, QRunnable*)>("_ZN11QThreadPool8tryStartEP9QRunnable");
    if (!runnable)
        return false;
    auto* wrapper = new OrderedRunnable(runnable, this);
    if (original(this, wrapper))
        return true;
    delete wrapper;
    return false;
}

void QThreadPool::start(std::function<void()> functionToRun, int priority)
{
    static const auto original = lookup<void (*)(QThreadPool*, std::function<void()>*, int)>(
        "_ZN11QThreadPool5startESt8functionIFvvEEi");
    std::function<void()> wrapped = ordered(std::move(functionToRun), this);
    // A std::function argument is passed by address (it is not trivially copyable).
    original(this, &wrapped, priority);
}

bool QThreadPool::tryStart(std::function<void()> functionToRun)
{
    static const auto original = lookup<bool (*)(QThreadPool*, std::function<void()>*)>(
        "_ZN11QThreadPool8tryStartESt8functionIFvvEE");
    std::function<void()> wrapped = ordered(std::move(functionToRun), this);
    return original(this, &wrapped);
}

bool QThreadPool::waitForDone(int msecs)
{
    static const auto original = lookup<bool (*)(QThreadPool*, int)>("_ZN11QThreadPool11waitForDoneEi");
    const bool done = original(this, msecs);
    if (done)
        __tsan_acquire(const_cast<void*>(endOf(this)));
    return done;
}

void QFutureInterfaceBase::reportFinished()
{
    static const auto original
        = lookup<void (*)(QFutureInterfaceBase*)>("_ZN20QFutureInterfaceBase14reportFinishedEv");
    __tsan_release(mutex());
    original(this);
}

void QFutureInterfaceBase::waitForFinished()
{
    static const auto original
        = lookup<void (*)(QFutureInterfaceBase*)>("_ZN20QFutureInterfaceBase15waitForFinishedEv");
    original(this);
    __tsan_acquire(mutex());
}

void QFutureInterfaceBase::waitForResult(int resultIndex)
{
    static const auto original
        = lookup<void (*)(QFutureInterfaceBase*, int)>("_ZN20QFutureInterfaceBase13waitForResultEi");
    original(this, resultIndex);
    __tsan_acquire(mutex());
}

bool QFutureInterfaceBase::isFinished() const
{
    static const auto original
        = lookup<bool (*)(const QFutureInterfaceBase*)>("_ZNK20QFutureInterfaceBase10isFinishedEv");
    const bool finished = original(this);
    if (finished)
        __tsan_acquire(mutex());
    return finished;
}

// Posted events (queued calls, deletions, timers handed to another thread): Qt wakes the
// receiving thread's main context after the event and its arguments were queued, and the
// thread delivers them later. The wake-up is a call from Qt into GLib, which lands here.
extern "C" void g_main_context_wakeup(GMainContext* context)
{
    static const auto original = lookup<void (*)(GMainContext*)>("g_main_context_wakeup");
    __tsan_release(context);
    original(context);
}

// Calls queued to an object, events posted and deletions asked for by our own code.
bool QMetaObject::invokeMethodImpl(
    QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type, void* ret)
{
    static const auto original = lookup<bool (*)(
        QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*)>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    if (object)
        __tsan_release(queuedTo(object));
    return original(object, slot, type, ret);
}

bool QMetaObject::invokeMethod(QObject* object, const char* member, Qt::ConnectionType type,
    QGenericReturnArgument ret, QGenericArgument val0, QGenericArgument val1, QGenericArgument val2,
    QGenericArgument val3, QGenericArgument val4, QGenericArgument val5, QGenericArgument val6,
    QGenericArgument val7, QGenericArgument val8, QGenericArgument val9)
{
    using Original = bool (*)(QObject*, const char*, Qt::ConnectionType, QGenericReturnArgument,
        QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
        QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument);
    static const auto original
        = lookup<Original>("_ZN11QMetaObject12invokeMethodEP7QObjectPKcN2Qt14ConnectionTypeE22QGenericReturnA"
                           "rgument16QGenericArgumentS7_S7_S7_S7_S7_S7_S7_S7_S7_");
    if (object)
        __tsan_release(queuedTo(object));
    return original(object, member, type, ret, val0, val1, val2, val3, val4, val5, val6, val7, val8, val9);
}

void QTimer::singleShotImpl(
    int msec, Qt::TimerType timerType, const QObject* receiver, QtPrivate::QSlotObjectBase* slotObj)
{
    static const auto original
        = lookup<void (*)(int, Qt::TimerType, const QObject*, QtPrivate::QSlotObjectBase*)>(
            "_ZN6QTimer14singleShotImplEiN2Qt9TimerTypeEPK7QObjectPN9QtPrivate15QSlotObjectBaseE");
    if (receiver)
        __tsan_release(queuedTo(receiver));
    original(msec, timerType, receiver, slotObj);
}

void QCoreApplication::postEvent(QObject* receiver, QEvent* event, int priority)
{
    static const auto original
        = lookup<void (*)(QObject*, QEvent*, int)>("_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    if (receiver)
        __tsan_release(queuedTo(receiver));
    original(receiver, event, priority);
}

void QObject::deleteLater()
{
    static const auto original = lookup<void (*)(QObject*)>("_ZN7QObject11deleteLaterEv");
    __tsan_release(queuedTo(this));
    original(this);
}

// A signal's arguments are copied for a queued connection inside Qt, after it was called:
// its sender releases once they are queued (a thread whose loop runs is woken meanwhile,
// see above; one whose loop has not begun takes its events later).
void QMetaObject::activate(QObject* sender, const QMetaObject* meta, int localSignalIndex, void** argv)
{
    static const auto original = lookup<void (*)(QObject*, const QMetaObject*, int, void**)>(
        "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    original(sender, meta, localSignalIndex, argv);
    __tsan_release(sender);
}

void QMetaObject::activate(QObject* sender, int signalOffset, int localSignalIndex, void** argv)
{
    static const auto original
        = lookup<void (*)(QObject*, int, int, void**)>("_ZN11QMetaObject8activateEP7QObjectiiPPv");
    original(sender, signalOffset, localSignalIndex, argv);
    __tsan_release(sender);
}

void QMetaObject::activate(QObject* sender, int signalIndex, void** argv)
{
    static const auto original
        = lookup<void (*)(QObject*, int, void**)>("_ZN11QMetaObject8activateEP7QObjectiPPv");
    original(sender, signalIndex, argv);
    __tsan_release(sender);
}

#include "core/circularpool.h"
#include "core/logging.h"

#include <QDebug>

#include <stdexcept>

namespace {
int lowestBit(quint32 mask)
{
    return __builtin_ctz(mask);
}

int bitCount(quint32 mask)
{
    return __builtin_popcount(mask);
}
} // namespace

CircularPool::CircularPool(
    int count, quint64 busyLimit, SlotFunction release, SlotFunction recycle, PostFunction post)
    : m_release(std::move(release))
    , m_recycle(std::move(recycle))
    , m_post(std::move(post))
    , m_busyLimit(busyLimit)
{
    if (count < 0 || count > maxSlots)
        throw std::invalid_argument("CircularPool: slot count out of range");
    m_free = count == 0 ? 0u : (0xFFFFFFFFu >> (32 - count));
}

CircularPool::~CircularPool()
{
    QMutexLocker lock(&m_mutex);
    while (m_recycling != 0)
        m_condition.wait(&m_mutex);
}

int CircularPool::acquire(bool mark)
{
    m_mutex.lock();
    reclaimLocked(1);

    QMutexLocker lock(&m_mutex);
    while (m_free == 0)
        m_condition.wait(&m_mutex);
    const int i = lowestBit(m_free);
    qCDebug(lcCore) << "Acquiring" << i << "of" << m_free;
    m_free &= ~(1u << i);
    m_busy |= 1u << i;
    if (mark)
        m_marked |= 1u << i;
    return i;
}

int CircularPool::tryAcquire(bool mark)
{
    m_mutex.lock();
    reclaimLocked(1);

    QMutexLocker lock(&m_mutex);
    if (m_free == 0)
        return -1;
    const int i = lowestBit(m_free);
    m_free &= ~(1u << i);
    m_busy |= 1u << i;
    if (mark)
        m_marked |= 1u << i;
    return i;
}

void CircularPool::release(int i)
{
    qCDebug(lcCore) << "release started";
    m_mutex.lock();
    qCDebug(lcCore) << "release working";
    releaseLocked(i);
    qCDebug(lcCore) << "release finished";
}

CircularPool::Masks CircularPool::masks() const
{
    QMutexLocker lock(&m_mutex);
    return { m_recycling, m_free, m_marked, m_busy };
}

void CircularPool::reclaimLocked(int newSlots)
{
    while (m_marked != 0) {
        if (quint64(bitCount(m_busy)) + quint64(newSlots) <= m_busyLimit)
            break;
        const int i = lowestBit(m_marked);
        qCDebug(lcCore) << "Releasing" << i << "of" << m_marked;
        releaseLocked(i);
        m_mutex.lock();
    }
    m_mutex.unlock();
}

void CircularPool::releaseLocked(int i)
{
    const quint32 bit = 1u << i;
    if ((m_busy & bit) == 0) {
        m_mutex.unlock();
        qCDebug(lcCore) << "0 release" << i;
        return;
    }
    qCDebug(lcCore) << "E release" << i;
    m_release(i);
    qCDebug(lcCore) << "X release" << i;
    m_busy &= ~bit;
    m_marked &= ~bit;
    m_recycling |= bit;
    m_mutex.unlock();
    m_post([this, i, bit] {
        qCDebug(lcCore) << "E recycle" << i;
        m_recycle(i);
        qCDebug(lcCore) << "X recycle" << i;
        QMutexLocker lock(&m_mutex);
        qCDebug(lcCore) << "W slot" << i;
        m_recycling &= ~bit;
        m_free |= bit;
        m_condition.wakeAll();
    });
}

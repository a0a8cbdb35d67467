#include "engine/exportbudget.h"

#include <QFile>

namespace {

qint64 availableMemory()
{
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (meminfo.open(QIODevice::ReadOnly)) {
        while (!meminfo.atEnd()) {
            const QByteArray line = meminfo.readLine();
            if (line.startsWith("MemAvailable:"))
                return line.mid(13).trimmed().split(' ').value(0).toLongLong() * 1024;
        }
    }
    return qint64(2) << 30;
}

} // namespace

ExportBudget& ExportBudget::instance()
{
    static ExportBudget budget(availableMemory() / 4 * 3);
    return budget;
}

ExportBudget::ExportBudget(qint64 limitBytes)
    : m_limit(qMax<qint64>(1, limitBytes))
{ }

qint64 ExportBudget::estimate(qint64 levelPixels, qint64 outputPixels)
{
    return levelPixels * 6 + outputPixels * 8 + (qint64(64) << 20);
}

int ExportBudget::running() const
{
    QMutexLocker lock(&m_mutex);
    return m_running;
}

void ExportBudget::acquire(qint64 bytes)
{
    QMutexLocker lock(&m_mutex);
    while (m_running > 0 && m_used + bytes > m_limit)
        m_released.wait(&m_mutex);
    m_used += bytes;
    ++m_running;
}

void ExportBudget::release(qint64 bytes)
{
    QMutexLocker lock(&m_mutex);
    m_used -= bytes;
    --m_running;
    m_released.wakeAll();
}

ExportBudget::Ticket::Ticket(ExportBudget& budget, qint64 bytes)
    : m_budget(budget)
    , m_bytes(bytes)
{
    m_budget.acquire(m_bytes);
}

ExportBudget::Ticket::~Ticket()
{
    m_budget.release(m_bytes);
}

#pragma once

#include <QMutex>
#include <QWaitCondition>
#include <QtGlobal>

// Memory shared by the exports of the whole process: an export waits until what it needs fits
// beside the exports already running (one export always runs, however large), so queued
// exports of several queues run side by side only when they fit together.
class ExportBudget
{
public:
    // The process-wide budget: three quarters of the memory available when first used.
    static ExportBudget& instance();
    explicit ExportBudget(qint64 limitBytes);

    // What one export needs: the developed level it reads (16-bit RGB, 6 bytes a pixel), at
    // most 8 bytes per output pixel, and the bands in flight.
    static qint64 estimate(qint64 levelPixels, qint64 outputPixels);

    // Holds `bytes` of the budget until destroyed.
    class Ticket
    {
    public:
        Ticket(ExportBudget& budget, qint64 bytes);
        ~Ticket();
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

    private:
        ExportBudget& m_budget;
        qint64 m_bytes;
    };

    qint64 limit() const { return m_limit; }
    int running() const;

private:
    void acquire(qint64 bytes);
    void release(qint64 bytes);

    const qint64 m_limit;
    mutable QMutex m_mutex;
    QWaitCondition m_released;
    qint64 m_used = 0;
    int m_running = 0;
};

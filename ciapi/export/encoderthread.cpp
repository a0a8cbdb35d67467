#include "ciapi/export/encoderthread.h"

#include <algorithm>

namespace CIAPI::exporter {

EncoderThread::EncoderThread(RowWriter& writer, int waiting)
    : m_writer(writer)
    , m_waiting(size_t(std::max(1, waiting)))
    , m_thread([this] { loop(); })
{ }

EncoderThread::~EncoderThread()
{
    stop(true);
}

RowBuffer EncoderThread::buffer()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_spare.empty())
        return {};
    RowBuffer b = std::move(m_spare.back());
    m_spare.pop_back();
    return b;
}

void EncoderThread::push(RowBuffer rows, int count)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_queue.size() < m_waiting || m_error; });
    rethrowLocked();
    m_queue.push_back({ std::move(rows), count });
    m_changed.notify_all();
}

void EncoderThread::finish()
{
    stop(false);
    std::lock_guard<std::mutex> lock(m_mutex);
    rethrowLocked();
}

void EncoderThread::rethrowLocked()
{
    if (m_error)
        std::rethrow_exception(std::exchange(m_error, nullptr));
}

void EncoderThread::stop(bool drop)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (drop)
            m_queue.clear();
        m_closing = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
}

void EncoderThread::loop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return !m_queue.empty() || m_closing; });
        if (m_queue.empty())
            return;
        auto [rows, count] = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        try {
            if (!m_error)
                m_writer.write(rows.data(), count);
        } catch (...) {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_error = std::current_exception();
        }
        lock.lock();
        m_spare.push_back(std::move(rows));
        m_changed.notify_all();
    }
}

} // namespace CIAPI::exporter

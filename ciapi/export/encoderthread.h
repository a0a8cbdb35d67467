#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ciapi/export/rowwriters.h"
#include "ciapi/render/plane.h"

namespace CIAPI::exporter {

// Room for converted rows: not cleared when it grows (every row is written before it is handed
// on), so that it is faulted in by the tasks that convert rows, not by the loop that starts them.
// Mapped from the system: a buffer made on a pool thread would otherwise stay with the allocator's
// arena of that thread once let go, out of reach of ReturnFreeMemory().
struct RowBuffer
{
    struct Free
    {
        size_t mapped;
        void operator()(uint8_t* p) const { render::freePlaneMemory(p, mapped); }
    };
    std::unique_ptr<uint8_t, Free> bytes { nullptr, Free { 0 } };
    size_t capacity = 0;
    uint8_t* data() { return bytes.get(); }
    const uint8_t* data() const { return bytes.get(); }
    void resize(size_t size)
    {
        if (size > capacity) {
            bytes.reset();
            capacity = 0;
            size_t mapped = 0;
            auto* p = static_cast<uint8_t*>(render::allocatePlaneMemory(size, 0, mapped));
            bytes = std::unique_ptr<uint8_t, Free>(p, Free { mapped });
            capacity = size;
        }
    }
};

// Hands rows to the writer on a thread of its own, so that encoding one group of rows
// overlaps rendering the next. At most `waiting` pieces of rows wait (two groups' worth); their
// buffers come back for reuse.
class EncoderThread
{
public:
    EncoderThread(RowWriter& writer, int waiting);
    ~EncoderThread();
    EncoderThread(const EncoderThread&) = delete;
    EncoderThread& operator=(const EncoderThread&) = delete;

    // A buffer for the next rows (a used one when there is one).
    RowBuffer buffer();
    // Queues `count` rows, waiting while `waiting` pieces wait; rethrows the writer's failure.
    void push(RowBuffer rows, int count);
    // Writes what is queued, ends the thread; rethrows the writer's failure.
    void finish();

private:
    void rethrowLocked();
    void stop(bool drop);
    void loop();

    RowWriter& m_writer;
    const size_t m_waiting;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<RowBuffer, int>> m_queue;
    std::vector<RowBuffer> m_spare;
    std::exception_ptr m_error;
    bool m_closing = false;
    std::thread m_thread; // last: starts when everything above is ready
};

} // namespace CIAPI::exporter

#pragma once

#include <memory>
#include <mutex>
#include <vector>

namespace CIAPI::exporter {

// Scratch of one kind lent to one task at a time and kept for the next: as many as tasks use
// it at once, all let go with the shelf.
template <typename Scratch> class ScratchShelf
{
public:
    class Lease
    {
    public:
        explicit Lease(ScratchShelf& shelf)
            : m_shelf(shelf)
            , m_scratch(shelf.take())
        { }
        ~Lease() { m_shelf.give(std::move(m_scratch)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Scratch* get() const { return m_scratch.get(); }

    private:
        ScratchShelf& m_shelf;
        std::unique_ptr<Scratch> m_scratch;
    };

private:
    std::unique_ptr<Scratch> take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_free.empty())
            return std::make_unique<Scratch>();
        std::unique_ptr<Scratch> s = std::move(m_free.back());
        m_free.pop_back();
        return s;
    }
    void give(std::unique_ptr<Scratch> s)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_free.push_back(std::move(s));
    }

    std::mutex m_mutex;
    std::vector<std::unique_ptr<Scratch>> m_free;
};

} // namespace CIAPI::exporter

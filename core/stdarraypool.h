#pragma once

#include "core/circularpool.h"

#include <cstddef>
#include <functional>

// A CircularPool whose slot i is element i of a caller-owned array of N objects.
template <typename T, std::size_t N> class StdArrayPool : public CircularPool
{
public:
    using ElementFunction = std::function<void(T&)>;

    StdArrayPool(
        T* elements, quint64 busyLimit, ElementFunction release, ElementFunction recycle, PostFunction post)
        : CircularPool(
            int(N), busyLimit, [elements, release = std::move(release)](int i) { release(elements[i]); },
            [elements, recycle = std::move(recycle)](int i) { recycle(elements[i]); }, std::move(post))
        , m_elements(elements)
    {
        static_assert(N > 0 && N <= std::size_t(CircularPool::maxSlots), "slot count out of range");
    }

    T& at(int i) { return m_elements[i]; }

private:
    T* m_elements;
};

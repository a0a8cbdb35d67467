#include "platform/mappingguard.h"

#include <csignal>
#include <cstdint>
#include <mutex>
#include <sys/mman.h>

namespace {

// A watched range; `begin` 0 is a free slot, 1 a slot being filled or emptied.
struct Slot
{
    std::atomic<std::uintptr_t> begin { 0 };
    std::atomic<std::uintptr_t> end { 0 };
    std::atomic<std::atomic<int>*> faults { nullptr };
};

constexpr std::uintptr_t kFree = 0;
constexpr std::uintptr_t kBusy = 1;
constexpr int kChunkSlots = 1024;

// Slots come in chunks that are chained and never freed, so the handler can walk them
// at any time without a lock.
struct Chunk
{
    Slot slots[kChunkSlots];
    std::atomic<Chunk*> next { nullptr };
};

Chunk g_first;
struct sigaction g_previous;
std::once_flag g_installOnce;
bool g_installed = false;

Slot* slotAt(int index)
{
    Chunk* chunk = &g_first;
    for (int i = index / kChunkSlots; i > 0 && chunk; --i)
        chunk = chunk->next.load(std::memory_order_acquire);
    return chunk ? &chunk->slots[index % kChunkSlots] : nullptr;
}

void forward(int number, siginfo_t* info, void* context)
{
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction) {
            g_previous.sa_sigaction(number, info, context);
            return;
        }
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(number);
        return;
    }
    // The default action: back to it, and the faulting read runs again and ends the
    // process as it would have without this guard.
    struct sigaction fallback
    {
    };
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(SIGBUS, &fallback, nullptr);
}

void onBusError(int number, siginfo_t* info, void* context)
{
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Chunk* chunk = &g_first; chunk; chunk = chunk->next.load(std::memory_order_acquire)) {
        for (Slot& slot : chunk->slots) {
            const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
            if (begin == kFree || begin == kBusy || address < begin)
                continue;
            const std::uintptr_t end = slot.end.load(std::memory_order_relaxed);
            if (address >= end)
                continue;
            // Zero pages in place of the file: the read goes on and finds zeros, the
            // owner learns from its counter that what it read is not the file.
            void* zeros = ::mmap(reinterpret_cast<void*>(begin), end - begin, PROT_READ,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (zeros == MAP_FAILED)
                break;
            if (std::atomic<int>* faults = slot.faults.load(std::memory_order_relaxed))
                faults->fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    forward(number, info, context);
}

void install()
{
    struct sigaction action
    {
    };
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    g_installed = ::sigaction(SIGBUS, &action, &g_previous) == 0;
}

} // namespace

namespace MappingGuard {

int watch(void* base, std::size_t length, std::atomic<int>* faults)
{
    std::call_once(g_installOnce, install);
    if (!g_installed || !base || length == 0)
        return -1;
    int index = 0;
    for (Chunk* chunk = &g_first;; chunk = chunk->next.load(std::memory_order_acquire)) {
        for (Slot& slot : chunk->slots) {
            std::uintptr_t expected = kFree;
            if (slot.begin.compare_exchange_strong(expected, kBusy, std::memory_order_acq_rel)) {
                const auto begin = reinterpret_cast<std::uintptr_t>(base);
                slot.end.store(begin + length, std::memory_order_relaxed);
                slot.faults.store(faults, std::memory_order_relaxed);
                slot.begin.store(begin, std::memory_order_release);
                return index;
            }
            ++index;
        }
        if (!chunk->next.load(std::memory_order_acquire)) {
            Chunk* added = new Chunk;
            Chunk* none = nullptr;
            if (!chunk->next.compare_exchange_strong(none, added, std::memory_order_acq_rel))
                delete added; // another thread chained one first
        }
    }
}

void unwatch(int index)
{
    if (index < 0)
        return;
    Slot* slot = slotAt(index);
    if (!slot)
        return;
    slot->begin.store(kBusy, std::memory_order_release);
    slot->faults.store(nullptr, std::memory_order_relaxed);
    slot->end.store(0, std::memory_order_relaxed);
    slot->begin.store(kFree, std::memory_order_release);
}

} // namespace MappingGuard

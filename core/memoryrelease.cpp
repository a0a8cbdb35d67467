#include "core/memoryrelease.h"

#include <QByteArray>
#include <QFile>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

qint64 statusField(const char* name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray prefix = QByteArray(name) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return 0;
}

} // namespace

void MemoryRelease::boundAllocator()
{
#if defined(__GLIBC__)
    // glibc raises its mapping threshold each time a mapped block is freed, up to 32 MB;
    // from then on picture levels and render planes come out of the heap arenas of the
    // render threads, whose free space is kept rather than given back. A fixed threshold
    // keeps every large buffer mapped on its own, so freeing it returns it at once.
    mallopt(M_MMAP_THRESHOLD, int(kMapThresholdBytes));
#endif
}

bool MemoryRelease::returnFreeMemory()
{
#if defined(__GLIBC__)
    // glibc keeps freed small blocks in its arenas (one per thread that allocated, up to
    // eight per core) and gives back only the free top of the main heap by itself: after
    // a session with thousands of pictures closes, most of its memory would stay resident
    // as free space. malloc_trim releases the free pages of every arena.
    return malloc_trim(0) != 0;
#else
    return false;
#endif
}

qint64 MemoryRelease::residentBytes()
{
    return statusField("VmRSS");
}

qint64 MemoryRelease::residentAnonymousBytes()
{
    return statusField("RssAnon");
}

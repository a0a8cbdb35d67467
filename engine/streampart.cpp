#include "engine/streampart.h"
#include "engine/logging.h"

#include "platform/mappingguard.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

StreamPart::StreamPart(const QString& path, qint64 offset, qint64 size)
    : m_fileName(path)
    , m_offset(offset)
    , m_size(size)
{ }

StreamPart::~StreamPart()
{
    release(m_mapping);
    for (const Mapping& mapping : m_retired)
        release(mapping);
}

void StreamPart::release(const Mapping& mapping)
{
    if (!mapping.base)
        return;
    MappingGuard::unwatch(mapping.guard);
    ::munmap(mapping.base, mapping.length);
}

void StreamPart::retireMapping()
{
    QMutexLocker lock(&m_mutex);
    if (m_mapping.base)
        m_retired.push_back(m_mapping);
    m_mapping = {};
    m_data = nullptr;
    m_length = 0;
}

void StreamPart::dropResidentPages()
{
    QMutexLocker lock(&m_mutex);
    // The mapping is private and never written: dropping its pages loses nothing.
    if (m_mapping.base)
        ::madvise(m_mapping.base, m_mapping.length, MADV_DONTNEED);
}

bool StreamPart::stale() const
{
    if (m_faults.load(std::memory_order_relaxed) != m_faultsWhenMapped)
        return true;
    struct stat st;
    const QByteArray native = QFile::encodeName(m_fileName);
    if (::stat(native.constData(), &st) != 0)
        return false;
    return quint64(st.st_dev) == m_mapping.device && quint64(st.st_ino) == m_mapping.inode
        && st.st_size < m_offset + m_length;
}

bool StreamPart::map()
{
    QMutexLocker lock(&m_mutex);
    if (m_data) {
        if (!stale())
            return true;
        // Cut short since it was mapped: readers that still hold the old mapping keep
        // it, new ones get the file as it is now.
        qCWarning(lcEngine) << "StreamPart:" << m_fileName << "changed under its mapping; mapped again";
        m_retired.push_back(m_mapping);
        m_mapping = {};
        m_data = nullptr;
        m_length = 0;
    }
    if (m_fileName.isEmpty() || m_offset < 0)
        return false;

    const QByteArray native = QFile::encodeName(m_fileName);
    // Not blocking: opening a pipe would wait for a writer (it is refused below).
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    const qint64 fileSize = st.st_size;
    qint64 length = m_size < 0 ? fileSize - m_offset : m_size;
    if (m_offset + length > fileSize) {
        qCWarning(lcEngine) << "StreamPart: range past the end of" << m_fileName << "cut to the file";
        length = fileSize - m_offset;
    }
    if (length <= 0) {
        ::close(fd);
        return false;
    }
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    const qint64 alignedOffset = m_offset - m_offset % page;
    const size_t mapLength = size_t(length + (m_offset - alignedOffset));
    void* base = ::mmap(nullptr, mapLength, PROT_READ, MAP_PRIVATE, fd, off_t(alignedOffset));
    // The mapping keeps the file alive on its own; the descriptor is not needed any more.
    ::close(fd);
    if (base == MAP_FAILED) {
        qCWarning(lcEngine) << "StreamPart: can't map" << m_fileName << std::strerror(errno);
        return false;
    }
    m_mapping.base = base;
    m_mapping.length = mapLength;
    m_mapping.device = quint64(st.st_dev);
    m_mapping.inode = quint64(st.st_ino);
    m_mapping.guard = MappingGuard::watch(base, mapLength, &m_faults);
    m_faultsWhenMapped = m_faults.load(std::memory_order_relaxed);
    m_data = static_cast<const uchar*>(base) + (m_offset - alignedOffset);
    m_length = length;
    ++m_mapCount;
    return true;
}

const uchar* StreamPart::data() const
{
    QMutexLocker lock(&m_mutex);
    return m_data;
}

qint64 StreamPart::length() const
{
    QMutexLocker lock(&m_mutex);
    return m_length;
}

int StreamPart::mapCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_mapCount;
}

void FaultCheck::check() const
{
    if (failed())
        throw std::runtime_error(
            "The file was cut short while it was read: " + m_part->fileName().toStdString());
}

bool mapPart(StreamPart& part)
{
    return part.map();
}

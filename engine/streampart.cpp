#include "engine/streampart.h"
#include "engine/logging.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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
    if (m_mapBase)
        ::munmap(m_mapBase, m_mapLength);
    for (const auto& [base, length] : m_retired)
        ::munmap(base, length);
}

void StreamPart::retireMapping()
{
    QMutexLocker lock(&m_mutex);
    if (m_mapBase)
        m_retired.emplace_back(m_mapBase, m_mapLength);
    m_mapBase = nullptr;
    m_mapLength = 0;
    m_data = nullptr;
    m_length = 0;
}

bool StreamPart::map()
{
    QMutexLocker lock(&m_mutex);
    if (m_data)
        return true;
    if (m_fileName.isEmpty() || m_offset < 0)
        return false;

    const QByteArray native = QFile::encodeName(m_fileName);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
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
    m_mapBase = base;
    m_mapLength = mapLength;
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

bool mapPart(StreamPart& part)
{
    return part.map();
}

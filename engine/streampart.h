#pragma once

#include <QMutex>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

// One byte range of one local file, memory-mapped on first use and shared by every
// reader of it (held by std::shared_ptr). The file descriptor is closed as soon as the
// range is mapped, so any number of parts may wait in queues without holding
// descriptors; the mapping itself stays valid until the part is destroyed.
class StreamPart
{
public:
    // `size` -1 means to the end of the file.
    StreamPart(const QString& path, qint64 offset = 0, qint64 size = -1);
    virtual ~StreamPart();
    StreamPart(const StreamPart&) = delete;
    StreamPart& operator=(const StreamPart&) = delete;

    // Maps the range unless that was done already; true when `data()` is usable. A range
    // that cannot be mapped (missing or empty file, offset past the end) leaves `data()`
    // null and is tried again on the next call. A size reaching past the end of the file
    // is cut to the end, so no read through the mapping can fault.
    virtual bool map();

    QString fileName() const { return m_fileName; }
    qint64 offset() const { return m_offset; }
    qint64 size() const { return m_size; }

    // The mapped bytes and their count; null and 0 until mapped or when mapping failed.
    const uchar* data() const;
    qint64 length() const;

    // Number of times this part has been mapped (1 after any number of shared uses).
    int mapCount() const;

    // Lets go of the current mapping after the file was replaced, so the next `map()`
    // reads the new file. The old mapping stays valid (readers may still hold pointers
    // into it) and is released when the part is destroyed.
    void retireMapping();

protected:
    void setFileName(const QString& path) { m_fileName = path; }

private:
    QString m_fileName;
    qint64 m_offset;
    qint64 m_size;
    mutable QMutex m_mutex;
    const uchar* m_data = nullptr;
    qint64 m_length = 0;
    void* m_mapBase = nullptr;
    size_t m_mapLength = 0;
    std::vector<std::pair<void*, size_t>> m_retired;
    int m_mapCount = 0;
};

// Makes sure the part is mapped (see StreamPart::map).
bool mapPart(StreamPart& part);

#pragma once

#include <QMutex>
#include <QString>

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

// One byte range of one local file, memory-mapped on first use and shared by every
// reader of it (held by std::shared_ptr). The file descriptor is closed as soon as the
// range is mapped, so any number of parts may wait in queues without holding
// descriptors; the mapping itself stays valid until the part is destroyed.
//
// The file may shrink under the mapping (a sync tool or `cp` rewrites it, a disk goes
// away). A read of the lost bytes then finds zeros instead of ending the process, and
// `faults()` counts it: a reader notes the count before it reads and treats a change as a
// read error (see `FaultCheck`).
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
    // is cut to the end. A mapping that is longer than its file is now, or that read
    // zeros in place of lost bytes, is retired and the file mapped afresh (a file
    // replaced by another or removed leaves the mapping as it is: its bytes are intact).
    virtual bool map();

    QString fileName() const { return m_fileName; }
    qint64 offset() const { return m_offset; }
    qint64 size() const { return m_size; }

    // The mapped bytes and their count; null and 0 until mapped or when mapping failed.
    const uchar* data() const;
    qint64 length() const;

    // Number of times this part has been mapped (1 after any number of shared uses).
    int mapCount() const;

    // Reads of bytes the file lost under its mapping, since the part was made.
    int faults() const { return m_faults.load(std::memory_order_relaxed); }

    // Lets go of the current mapping after the file was replaced, so the next `map()`
    // reads the new file. The old mapping stays valid (readers may still hold pointers
    // into it) and is released when the part is destroyed.
    void retireMapping();

    // Hands the mapped pages this process holds back to the system, for a part that may
    // wait long before its next read: they are read from the file again on that read, so
    // readers see the same bytes (pointers into the mapping stay valid).
    void dropResidentPages();

protected:
    void setFileName(const QString& path) { m_fileName = path; }

private:
    struct Mapping
    {
        void* base = nullptr;
        size_t length = 0;
        int guard = -1;
        quint64 device = 0;
        quint64 inode = 0;
    };
    static void release(const Mapping& mapping);
    bool stale() const;

    QString m_fileName;
    qint64 m_offset;
    qint64 m_size;
    mutable QMutex m_mutex;
    const uchar* m_data = nullptr;
    qint64 m_length = 0;
    Mapping m_mapping;
    std::vector<Mapping> m_retired;
    int m_mapCount = 0;
    std::atomic<int> m_faults { 0 };
    int m_faultsWhenMapped = 0;
};

// Notes a part's fault count when made; `check()` throws std::runtime_error when the
// part's file lost bytes under a read since then.
class FaultCheck
{
public:
    explicit FaultCheck(const StreamPart* part)
        : m_part(part)
        , m_faults(part ? part->faults() : 0)
    { }
    bool failed() const { return m_part && m_part->faults() != m_faults; }
    void check() const;

private:
    const StreamPart* m_part;
    int m_faults;
};

// Makes sure the part is mapped (see StreamPart::map).
bool mapPart(StreamPart& part);

#include "engine/exifreader.h"

#include <QBuffer>
#include <QFile>
#include <QSet>
#include <QUrl>

#include <cstring>
#include <vector>

namespace Exif {

namespace {

// No camera writes more than a handful of directories; a longer chain is hostile.
constexpr int kMaxDirectories = 32;
constexpr quint16 kExifPointerTag = 0x8769;

// Log2 of the element size, by TIFF type; -1 for invalid types.
constexpr int kTypeShift[13] = { -1, 0, 0, 1, 2, 3, 0, 0, 1, 2, 3, 2, 3 };

quint16 load16(const uchar* p, bool big)
{
    return big ? quint16((p[0] << 8) | p[1]) : quint16((p[1] << 8) | p[0]);
}

quint32 load32(const uchar* p, bool big)
{
    return big ? (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3]
               : (quint32(p[3]) << 24) | (quint32(p[2]) << 16) | (quint32(p[1]) << 8) | p[0];
}

quint64 load64(const uchar* p, bool big)
{
    const quint64 a = load32(p, big);
    const quint64 b = load32(p + 4, big);
    return big ? (a << 32) | b : (b << 32) | a;
}

// Raw value bytes in the file's order -> elements in host order. Rationals are two 32-bit
// words each, so both byte orders give the same numerator and denominator.
QByteArray toHostOrder(const uchar* raw, quint32 size, quint16 type, bool big)
{
    // Assembled in a plain buffer: writing through QByteArray::data() here makes GCC 12 at -O3
    // warn of writes into its shared empty array, which this never does.
    std::vector<char> buffer(size);
    char* dst = buffer.data();
    switch (ExifEntry::elementSize(type)) {
    case 2:
        for (quint32 i = 0; i + 2 <= size; i += 2) {
            const quint16 v = load16(raw + i, big);
            std::memcpy(dst + i, &v, 2);
        }
        break;
    case 4:
        for (quint32 i = 0; i + 4 <= size; i += 4) {
            const quint32 v = load32(raw + i, big);
            std::memcpy(dst + i, &v, 4);
        }
        break;
    case 8:
        if (type == 12) {
            for (quint32 i = 0; i + 8 <= size; i += 8) {
                const quint64 v = load64(raw + i, big);
                std::memcpy(dst + i, &v, 8);
            }
        } else {
            for (quint32 i = 0; i + 4 <= size; i += 4) {
                const quint32 v = load32(raw + i, big);
                std::memcpy(dst + i, &v, 4);
            }
        }
        break;
    default:
        if (size)
            std::memcpy(dst, raw, size);
        break;
    }
    return size ? QByteArray(buffer.data(), int(size)) : QByteArray(0, Qt::Uninitialized);
}

class Walker
{
public:
    Walker(QIODevice& device, const Callbacks& callbacks)
        : m_device(device)
        , m_callbacks(callbacks)
    { }

    QList<Directory> readJpeg();

private:
    void fail(qint64 position, ExifError code, quint64 value)
    {
        if (m_callbacks.error)
            m_callbacks.error(position, code, value);
    }
    bool readAt(qint64 position, void* into, qint64 size)
    {
        if (!m_device.seek(position) || m_device.read(static_cast<char*>(into), size) != size) {
            fail(position, ExifError::ReadError, quint64(size));
            return false;
        }
        return true;
    }
    // True when [offset, offset + size) lies inside the TIFF data.
    bool inTiff(quint64 offset, quint64 size) const
    {
        return offset <= m_tiffSize && size <= m_tiffSize - offset;
    }

    QList<Directory> readSegment(qint64 start, qint64 end);
    bool readDirectory(quint64 offset, quint64 index, Directory& dir, quint32& next);
    bool readEntry(qint64 position, Directory& dir, ExifEntry& entry);
    template <typename F> void guarded(F&& call)
    {
        // A callback may read the device; hand it back where it was.
        const qint64 saved = m_device.pos();
        call();
        m_device.seek(saved);
    }

    QIODevice& m_device;
    const Callbacks& m_callbacks;
    bool m_big = false;
    quint64 m_base = 0;
    quint64 m_tiffSize = 0;
    quint64 m_valueBytes = 0; // fetched so far, against kMaxValueBytes
};

QList<Directory> Walker::readJpeg()
{
    const qint64 start = m_device.pos();
    const qint64 size = m_device.size();
    uchar soi[2];
    if (m_device.read(reinterpret_cast<char*>(soi), 2) != 2 || soi[0] != 0xFF || soi[1] != 0xD8) {
        fail(start, ExifError::NotJpeg, 0);
        return {};
    }
    qint64 pos = start + 2;
    for (;;) {
        uchar marker[2];
        if (!readAt(pos, marker, 2))
            return {};
        if (marker[0] != 0xFF) {
            fail(pos, ExifError::BadMarker, load16(marker, true));
            return {};
        }
        pos += 2;
        // Fill bytes: any number of 0xFF may precede a marker code.
        while (marker[1] == 0xFF) {
            if (!readAt(pos, marker + 1, 1))
                return {};
            ++pos;
        }
        const uchar code = marker[1];
        if (code == 0xD9 || code == 0xDA)
            return {}; // end of image, or image data: no EXIF block before it
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7))
            continue; // markers without a length
        uchar lengthBytes[2];
        if (!readAt(pos, lengthBytes, 2))
            return {};
        const qint64 length = load16(lengthBytes, true);
        if (length < 2 || pos + length > size) {
            fail(pos, ExifError::BadSegmentLength, quint64(length));
            return {};
        }
        const qint64 segment = pos + 2;
        const qint64 end = pos + length;
        if (code == 0xE1) {
            char header[6] = {};
            const qint64 probe = qMin<qint64>(6, length - 2);
            if (probe > 0 && !readAt(segment, header, probe))
                return {};
            if (probe == 6 && std::memcmp(header, "Exif\0\0", 6) == 0)
                return readSegment(segment + 6, end);
            // Another APP1 payload (such as XMP) may stand before the EXIF block; a
            // malformed EXIF header ends the walk.
            if (probe < 6 || std::memcmp(header, "Exif", 4) == 0) {
                fail(segment, ExifError::NotExif, quint64(length));
                return {};
            }
        }
        pos = end;
    }
}

QList<Directory> Walker::readSegment(qint64 start, qint64 end)
{
    m_base = quint64(start);
    m_tiffSize = quint64(end - start);
    QList<Directory> result;
    uchar header[8];
    if (m_tiffSize < 8) {
        fail(start, ExifError::BadOffset, m_tiffSize);
        return result;
    }
    if (!readAt(start, header, 8))
        return result;
    if (header[0] != header[1] || (header[0] != 'I' && header[0] != 'M')) {
        fail(start, ExifError::BadByteOrder, load16(header, true));
        return result;
    }
    m_big = header[0] == 'M';
    if (load16(header + 2, m_big) != 42) {
        fail(start + 2, ExifError::BadMagic, load16(header + 2, m_big));
        return result;
    }
    const quint32 first = load32(header + 4, m_big);
    if (first < 8 || !inTiff(first, 2)) {
        fail(start + 4, ExifError::BadOffset, first);
        return result;
    }

    QList<quint64> work { first };
    QSet<quint64> seen { first };
    for (int i = 0; i < work.size(); ++i) {
        if (i == kMaxDirectories) {
            fail(qint64(m_base + work.at(i)), ExifError::TooManyDirectories, quint64(i));
            break;
        }
        Directory dir;
        quint32 next = 0;
        if (!readDirectory(work.at(i), quint64(i), dir, next))
            break;
        // The Exif directory of IFD0 is visited before the next linked directory.
        if (i == 0) {
            if (const ExifEntry* pointer = dir.find(kExifPointerTag)) {
                const auto value = pointer->intAt(0);
                if (value && *value > 0 && !seen.contains(quint64(*value))) {
                    seen.insert(quint64(*value));
                    work.append(quint64(*value));
                }
            }
        }
        result.append(dir);
        guarded([&] {
            if (m_callbacks.directory)
                m_callbacks.directory(quint64(i), dir, m_device);
        });
        if (next != 0) {
            if (next < 8 || !inTiff(next, 2)) {
                fail(qint64(dir.position + 2 + 12 * quint64(dir.entries.size())), ExifError::BadOffset, next);
                break;
            }
            // A link to a directory already visited or queued closes a circle: not followed.
            if (!seen.contains(next)) {
                seen.insert(next);
                work.append(next);
            }
        }
    }
    return result;
}

bool Walker::readDirectory(quint64 offset, quint64 index, Directory& dir, quint32& next)
{
    dir.base = m_base;
    dir.position = m_base + offset;
    dir.bigEndian = m_big;
    if (offset < 8 || !inTiff(offset, 2)) {
        fail(qint64(m_base + offset), ExifError::BadOffset, offset);
        return false;
    }
    uchar countBytes[2];
    if (!readAt(qint64(dir.position), countBytes, 2))
        return false;
    const quint64 count = load16(countBytes, m_big);
    if (!inTiff(offset + 2, count * 12)) {
        fail(qint64(dir.position), ExifError::BadOffset, count);
        return false;
    }
    dir.entries.reserve(int(count));
    for (quint64 i = 0; i < count; ++i) {
        ExifEntry entry;
        if (!readEntry(qint64(dir.position + 2 + 12 * i), dir, entry))
            return false;
        dir.index.insert(entry.tag, dir.entries.size());
        dir.entries.append(entry);
        guarded([&] {
            if (m_callbacks.entry)
                m_callbacks.entry(index, dir, dir.entries.constLast(), m_device);
        });
    }
    // Some writers end the last directory without its link; that is the end of the chain.
    next = 0;
    const quint64 link = offset + 2 + count * 12;
    uchar nextBytes[4];
    if (inTiff(link, 4)) {
        if (!readAt(qint64(m_base + link), nextBytes, 4))
            return false;
        next = load32(nextBytes, m_big);
    }
    return true;
}

bool Walker::readEntry(qint64 position, Directory& dir, ExifEntry& entry)
{
    uchar raw[12];
    if (!readAt(position, raw, 12))
        return false;
    entry.tag = load16(raw, m_big);
    entry.type = load16(raw + 2, m_big);
    entry.count = load32(raw + 4, m_big);
    entry.entryPosition = quint64(position);
    entry.base = dir.base;
    std::memcpy(entry.valueField.data(), raw + 8, 4);
    if (!entry.validType()) {
        fail(position, ExifError::InvalidType, entry.type);
        return true;
    }
    const quint64 bytes = quint64(entry.count) << kTypeShift[entry.type];
    entry.byteCount = bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : quint32(bytes);
    entry.isOffset = bytes > 4;
    if (!entry.isOffset) {
        entry.data = toHostOrder(raw + 8, quint32(bytes), entry.type, m_big);
        return true;
    }
    if (!m_callbacks.filter || !m_callbacks.filter(EntrySpec { entry.tag, entry.type, entry.count }))
        return true;
    const quint32 offset = entry.offset(m_big);
    if (!inTiff(offset, bytes)) {
        fail(position + 8, ExifError::BadOffset, offset);
        return false;
    }
    if (bytes > kMaxValueBytes - m_valueBytes) {
        fail(position, ExifError::TooMuchData, m_valueBytes + bytes);
        return false;
    }
    m_valueBytes += bytes;
    const qint64 back = m_device.pos();
    QByteArray value(int(bytes), Qt::Uninitialized);
    if (!readAt(qint64(m_base + offset), value.data(), qint64(bytes)))
        return false;
    entry.data
        = toHostOrder(reinterpret_cast<const uchar*>(value.constData()), quint32(bytes), entry.type, m_big);
    m_device.seek(back);
    return true;
}

} // namespace

int ExifEntry::elementSize(quint16 type)
{
    return type >= 1 && type <= 12 ? 1 << kTypeShift[type] : 0;
}

quint32 ExifEntry::offset(bool bigEndian) const
{
    return load32(valueField.data(), bigEndian);
}

std::optional<QString> ExifEntry::toString() const
{
    if (type != 2 || quint32(data.size()) != byteCount)
        return std::nullopt;
    int n = data.size();
    while (n > 0 && data.at(n - 1) == '\0')
        --n;
    return QString::fromLatin1(data.constData(), n);
}

std::optional<qint64> ExifEntry::toInt() const
{
    return intAt(0);
}

std::optional<qint64> ExifEntry::intAt(int i) const
{
    const int size = elementSize(type);
    if (i < 0 || (size != 1 && size != 2 && size != 4) || type == 11
        || qint64(i + 1) * size > qint64(data.size()) || quint32(data.size()) != byteCount)
        return std::nullopt;
    const char* p = data.constData() + i * size;
    switch (type) {
    case 6:
        return qint64(qint8(*p));
    case 8: {
        qint16 v;
        std::memcpy(&v, p, 2);
        return qint64(v);
    }
    case 9: {
        qint32 v;
        std::memcpy(&v, p, 4);
        return qint64(v);
    }
    case 3: {
        quint16 v;
        std::memcpy(&v, p, 2);
        return qint64(v);
    }
    case 4: {
        quint32 v;
        std::memcpy(&v, p, 4);
        return qint64(v);
    }
    default:
        return qint64(quint8(*p));
    }
}

const ExifEntry* Directory::find(quint16 tag) const
{
    const auto it = index.constFind(tag);
    return it == index.constEnd() ? nullptr : &entries.at(*it);
}

QList<Directory> readExif(QIODevice& device, const Callbacks& callbacks)
{
    if (!device.isOpen() || !device.isReadable() || device.isSequential()) {
        if (callbacks.error)
            callbacks.error(-1, ExifError::ReadError, 0);
        return {};
    }
    return Walker(device, callbacks).readJpeg();
}

QList<Directory> readExifFromFile(const QUrl& url, const Callbacks& callbacks)
{
    QFile file(url.toLocalFile());
    if (!file.open(QIODevice::ReadOnly)) {
        if (callbacks.error)
            callbacks.error(-1, ExifError::ReadError, 0);
        return {};
    }
    // The EXIF block stands before the image data; only the file's head is loaded, so a
    // huge file is never read whole (what lies past it reads as the end of the data). A
    // slow source (a card, a pipe) is read until it ends or the head is in.
    QByteArray bytes;
    while (bytes.size() < kMaxFileBytes) {
        const QByteArray more = file.read(kMaxFileBytes - bytes.size());
        if (more.isEmpty())
            break;
        bytes += more;
    }
    file.close();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return readExif(buffer, callbacks);
}

} // namespace Exif

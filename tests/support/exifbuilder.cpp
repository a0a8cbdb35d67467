#include "support/exifbuilder.h"

#include <QtGlobal>

#include <algorithm>

namespace ostra::test {

namespace {

int elementSize(quint16 type)
{
    static const int sizes[13] = { 0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8 };
    return type <= 12 ? sizes[type] : 0;
}

// An unsigned value of `size` bytes at `at`, in the file's byte order.
void put(QByteArray& out, int at, quint64 v, int size, bool big)
{
    for (int i = 0; i < size; ++i)
        out[at + i] = char(v >> (8 * (big ? size - 1 - i : i)));
}

void put16(QByteArray& out, int at, quint16 v, bool big)
{
    put(out, at, v, 2, big);
}

void put32(QByteArray& out, int at, quint32 v, bool big)
{
    put(out, at, v, 4, big);
}

// Host-order elements -> file order: the host is little-endian, so a big-endian file takes
// every element reversed (a rational's two halves each, a double whole).
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "the builder reads values in host order");
QByteArray fileOrder(const QByteArray& value, quint16 type, bool big)
{
    const int unit = type == 12 ? 8 : std::min(elementSize(type), 4);
    QByteArray out = value;
    for (int i = 0; big && unit > 1 && i + unit <= out.size(); i += unit)
        std::reverse(out.begin() + i, out.begin() + i + unit);
    return out;
}

template <typename T> QByteArray hostBytes(const QList<T>& values)
{
    QByteArray out;
    for (T v : values)
        out.append(reinterpret_cast<const char*>(&v), sizeof v);
    return out;
}

} // namespace

int ExifBuilder::addDirectory()
{
    m_dirs.append(Directory {});
    return m_dirs.size() - 1;
}

void ExifBuilder::ascii(int dir, quint16 tag, const QByteArray& text, int trailingNuls)
{
    const QByteArray value = text + QByteArray(trailingNuls, '\0');
    m_dirs[dir].entries.append(Entry { tag, 2, quint32(value.size()), value, {} });
}

void ExifBuilder::shorts(int dir, quint16 tag, const QList<quint16>& values)
{
    m_dirs[dir].entries.append(Entry { tag, 3, quint32(values.size()), hostBytes(values), {} });
}

void ExifBuilder::longs(int dir, quint16 tag, const QList<quint32>& values)
{
    m_dirs[dir].entries.append(Entry { tag, 4, quint32(values.size()), hostBytes(values), {} });
}

void ExifBuilder::rational(int dir, quint16 tag, quint32 numerator, quint32 denominator)
{
    m_dirs[dir].entries.append(Entry { tag, 5, 1, hostBytes(QList<quint32> { numerator, denominator }), {} });
}

void ExifBuilder::signedShort(int dir, quint16 tag, qint16 value)
{
    m_dirs[dir].entries.append(Entry { tag, 8, 1, hostBytes(QList<qint16> { value }), {} });
}

void ExifBuilder::bytes(int dir, quint16 tag, quint16 type, const QByteArray& values)
{
    m_dirs[dir].entries.append(Entry { tag, type, quint32(values.size()), values, {} });
}

int ExifBuilder::entryCount(int dir) const
{
    return m_dirs.at(dir).entries.size() + (dir == 0 && m_exifDir >= 0 ? 1 : 0);
}

quint32 ExifBuilder::directoryOffset(int index) const
{
    quint32 at = 8;
    for (int i = 0; i < index; ++i)
        at += 2 + 12 * quint32(entryCount(i)) + 4;
    return at;
}

QByteArray ExifBuilder::tiff() const
{
    QByteArray out(int(directoryOffset(m_dirs.size())), '\0');
    out[0] = out[1] = m_big ? 'M' : 'I';
    put16(out, 2, 42, m_big);
    put32(out, 4, m_dirs.isEmpty() ? 0 : 8, m_big);
    for (int d = 0; d < m_dirs.size(); ++d) {
        const Directory& dir = m_dirs.at(d);
        QList<Entry> entries = dir.entries;
        if (d == 0 && m_exifDir >= 0)
            entries.append(
                Entry { 0x8769, 4, 1, hostBytes(QList<quint32> { directoryOffset(m_exifDir) }), {} });
        int at = int(directoryOffset(d));
        put16(out, at, quint16(entries.size()), m_big);
        at += 2;
        for (const Entry& e : entries) {
            put16(out, at, e.tag, m_big);
            put16(out, at + 2, e.type, m_big);
            put32(out, at + 4, e.count, m_big);
            const QByteArray value = fileOrder(e.value, e.type, m_big);
            if (e.forceOffset) {
                put32(out, at + 8, *e.forceOffset, m_big);
            } else if (value.size() <= 4) {
                for (int i = 0; i < value.size(); ++i)
                    out[at + 8 + i] = value.at(i);
            } else {
                if (out.size() % 2)
                    out.append('\0'); // values start on a word boundary
                put32(out, at + 8, quint32(out.size()), m_big);
                out.append(value);
            }
            at += 12;
        }
        const quint32 next = dir.forceNext ? *dir.forceNext : dir.next >= 0 ? directoryOffset(dir.next) : 0;
        put32(out, at, next, m_big);
    }
    return out;
}

QByteArray ExifBuilder::segment(quint8 code, const QByteArray& payload)
{
    QByteArray out;
    out.append(char(0xFF)).append(char(code));
    const int length = payload.size() + 2;
    out.append(char(length >> 8)).append(char(length & 0xFF));
    return out + payload;
}

QByteArray ExifBuilder::jpeg(const QList<QByteArray>& app1Payloads)
{
    QByteArray out("\xFF\xD8", 2);
    out += segment(0xE0, QByteArray("JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 14));
    for (const QByteArray& payload : app1Payloads)
        out += segment(0xE1, payload);
    out += segment(0xDB, QByteArray(65, '\x01'));
    out += segment(0xDA, QByteArray("\x01\x01\x00\x00\x3F\x00", 6));
    out += QByteArray("\x12\x34\x56\x78\x9A", 5);
    out += QByteArray("\xFF\xD9", 2);
    return out;
}

} // namespace ostra::test

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace ostra::test {

// Builds EXIF blocks (a TIFF structure in either byte order) and JPEG files around them, for
// tests of the readers of camera previews. Values are given in host terms and written element
// by element in the chosen byte order, so one description yields an "II" and an "MM" file with
// the same content.
class ExifBuilder
{
public:
    struct Entry
    {
        quint16 tag = 0;
        quint16 type = 0;
        quint32 count = 0;
        QByteArray value; // host-order elements, count x element size
        std::optional<quint32> forceOffset; // an out-of-line value pointing here instead
    };
    struct Directory
    {
        QList<Entry> entries;
        int next = -1; // index of the directory linked next
        std::optional<quint32> forceNext; // a raw next-directory offset instead
    };

    explicit ExifBuilder(bool bigEndian = false)
        : m_big(bigEndian)
    { }

    // Adds a directory and returns its index (0 is IFD0).
    int addDirectory();
    Directory& directory(int index) { return m_dirs[index]; }
    // IFD0 gets an Exif-directory pointer (tag 0x8769) to this directory.
    void setExifDirectory(int index) { m_exifDir = index; }

    void ascii(int dir, quint16 tag, const QByteArray& text, int trailingNuls = 1);
    void shorts(int dir, quint16 tag, const QList<quint16>& values);
    void longs(int dir, quint16 tag, const QList<quint32>& values);
    void rational(int dir, quint16 tag, quint32 numerator, quint32 denominator);
    void signedShort(int dir, quint16 tag, qint16 value);
    void bytes(int dir, quint16 tag, quint16 type, const QByteArray& values);
    void raw(int dir, const Entry& entry) { m_dirs[dir].entries.append(entry); }

    // The TIFF structure (header, directories, then the out-of-line values).
    QByteArray tiff() const;
    // Device position of directory i inside tiff().
    quint32 directoryOffset(int index) const;

    // "Exif\0\0" followed by the TIFF data: an APP1 payload.
    QByteArray app1Payload() const { return QByteArray("Exif\0\0", 6) + tiff(); }

    // A JPEG stream: start of image, a JFIF APP0, the given APP1 payloads (none: no EXIF),
    // a quantisation table, a start of scan with a few entropy bytes, end of image.
    static QByteArray jpeg(const QList<QByteArray>& app1Payloads);
    // One marker segment with its big-endian length.
    static QByteArray segment(quint8 code, const QByteArray& payload);

private:
    int entryCount(int dir) const;
    bool m_big;
    QList<Directory> m_dirs;
    int m_exifDir = -1;
};

} // namespace ostra::test

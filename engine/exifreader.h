#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

class QIODevice;
class QUrl;

// A callback-driven reader of the EXIF block of a JPEG file (camera previews carry the
// picture's size, orientation, capture time and identity there). It never throws on file
// content: every offset and count is checked against the data, a directory met a second time
// (links that form a circle) is not visited again, the values fetched are bounded in all, and every
// malformed structure is reported through the error callback, the result then holding what was
// read before it.
namespace Exif {

enum class ExifError : int {
    NotJpeg = 1, // the file does not begin with a start-of-image marker
    BadMarker, // a segment marker without its 0xFF prefix
    BadSegmentLength, // a segment length of 0..1 or one that runs past the end of the data
    NotExif, // the APP1 segment does not begin with "Exif\0\0"
    BadByteOrder, // the TIFF header's byte order is neither "II" nor "MM"
    BadMagic, // the TIFF header's 42 is missing
    BadOffset, // an offset or a count runs outside the TIFF data
    InvalidType, // an entry of type 0 or above 12 (reported, the walk goes on)
    ReadError, // the device could not deliver the bytes it should hold
    TooManyDirectories, // more linked directories than any camera writes
    TooMuchData, // the values fetched would exceed kMaxValueBytes in all (the walk ends)
};

// The most value bytes one walk fetches in all. An EXIF block is at most 64 KiB, but entries
// of several directories may point at one large value; no camera comes near this.
constexpr quint32 kMaxValueBytes = 1024 * 1024;
// The head of a file that readExifFromFile loads: room for any number of segments a camera
// writes before the EXIF block.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

// What the entry filter sees of an entry before its value is fetched.
struct EntrySpec
{
    quint16 tag = 0;
    quint16 type = 0;
    quint32 count = 0;
};

// One directory entry. `data` holds the value once it has been read, element by element in
// host byte order, so the same content reads the same from either byte order.
struct ExifEntry
{
    quint16 tag = 0;
    quint16 type = 0;
    quint32 count = 0;
    quint64 entryPosition = 0; // device position of the 12-byte entry
    quint64 base = 0; // device position of the TIFF header
    quint32 byteCount = 0; // count times the type size (saturated for absurd counts)
    bool isOffset = false; // the value field holds an offset, not the value
    std::array<quint8, 4> valueField {}; // as stored in the file
    QByteArray data;

    // Size in bytes of one element of `type`, 0 for an invalid type.
    static int elementSize(quint16 type);
    bool validType() const { return elementSize(type) != 0; }
    // The value field read as an offset in the directory's byte order.
    quint32 offset(bool bigEndian) const;

    // An ASCII value read in full, without its trailing NUL bytes, decoded as Latin-1.
    std::optional<QString> toString() const;
    // The first element of a read value of element size 1, 2 or 4; signed types are
    // sign-extended, unsigned ones are not.
    std::optional<qint64> toInt() const;
    // Element i of a read value (any integer type), as toInt.
    std::optional<qint64> intAt(int i) const;
};

// One image file directory as handed to the callbacks.
struct Directory
{
    quint64 base = 0; // device position of the TIFF header
    quint64 position = 0; // device position of the directory
    bool bigEndian = false;
    QList<ExifEntry> entries; // in file order
    QHash<quint16, int> index; // tag -> position in entries (the later one of duplicates)

    const ExifEntry* find(quint16 tag) const;
};

struct Callbacks
{
    std::function<void(quint64 index, const Directory&, QIODevice&)> directory;
    std::function<void(quint64 index, const Directory&, const ExifEntry&, QIODevice&)> entry;
    // True when the caller wants an entry's out-of-line value fetched.
    std::function<bool(const EntrySpec&)> filter;
    std::function<void(qint64 position, ExifError, quint64 value)> error;
};

// Walks the JPEG segments of the device (from its current position) to the EXIF block and
// reads its directories: IFD0, then the Exif directory, then the linked ones, in that order.
QList<Directory> readExif(QIODevice& device, const Callbacks& callbacks);

// The same for the first kMaxFileBytes of the local file of the URL; a file that cannot be
// opened gives an empty result and a ReadError.
QList<Directory> readExifFromFile(const QUrl& url, const Callbacks& callbacks);

} // namespace Exif

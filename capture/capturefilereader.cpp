#include "capture/capturefilereader.h"
#include "capture/logging.h"

#include "ciapi/statefileeditor.h"
#include "core/uuidpacking.h"
#include "engine/exifreader.h"
#include "engine/metahistory.h"
#include "engine/vrxmetadata.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>
#include <QXmlStreamReader>

#include <fstream>
#include <stdexcept>

namespace {

// A state file this large carries an edited preview worth asking the engine for.
constexpr qint64 kEditedPreviewSize = 16384;
constexpr qint64 kMaxJpegSide = 65535;
constexpr int kMaxMetadataDepth = 64;

// The image UUID of tag 0xA420: 32 hex digits, or a UUID in its text form.
QUuid uuidFromUniqueId(QString text)
{
    text = text.trimmed();
    if (text.size() == 32) {
        const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
        if (bytes.size() == 16)
            return QUuid::fromRfc4122(bytes);
    }
    return QUuid(text);
}

} // namespace

CaptureFileReader::Preview CaptureFileReader::readPreview(const QUrl& location)
{
    Preview preview;
    bool failed = !QFileInfo(location.toLocalFile()).isReadable();
    static const QSet<quint16> wanted { 0x0112, 0x0100, 0x0101, 0x010E, 0x0132, 0xA420, 0x9003, 0xA002,
        0xA003 };
    Exif::Callbacks callbacks;
    callbacks.filter = [](const Exif::EntrySpec& entry) { return wanted.contains(entry.tag); };
    callbacks.error = [&](qint64 position, Exif::ExifError error, quint64) {
        qCWarning(lcCapture) << "EXIF error" << int(error) << "at" << position << location;
        // An entry of an unknown type is skipped; the rest of the directory still reads.
        if (error != Exif::ExifError::InvalidType)
            failed = true;
    };
    const QList<Exif::Directory> dirs
        = failed ? QList<Exif::Directory>() : Exif::readExifFromFile(location, callbacks);
    if (failed)
        return preview;
    qint64 width = 4;
    qint64 height = 3;
    qint64 orientation = 1;
    QUuid image;
    QUuid uniqueId;
    QString dateTime;
    const auto positive = [](const Exif::Directory& dir, quint16 tag, qint64& value) {
        const Exif::ExifEntry* entry = dir.find(tag);
        const auto v = entry ? entry->toInt() : std::nullopt;
        if (v && *v > 0)
            value = *v;
    };
    const auto text = [](const Exif::Directory& dir, quint16 tag) {
        const Exif::ExifEntry* entry = dir.find(tag);
        return entry ? entry->toString().value_or(QString()) : QString();
    };
    for (int d = 0; d < std::min(2, int(dirs.size())); ++d) {
        const Exif::Directory& dir = dirs.at(d);
        const QString unique = text(dir, 0xA420);
        if (!unique.isEmpty()) {
            qCDebug(lcCapture) << "0xA420" << unique;
            uniqueId = uuidFromUniqueId(unique);
        }
        if (d == 0) {
            positive(dir, 0x0112, orientation);
            positive(dir, 0x0100, width);
            positive(dir, 0x0101, height);
            image = uuidFromHexWords(text(dir, 0x010E));
            if (!text(dir, 0x0132).isEmpty())
                dateTime = text(dir, 0x0132);
        } else {
            if (!text(dir, 0x9003).isEmpty())
                dateTime = text(dir, 0x9003);
            positive(dir, 0xA002, width);
            positive(dir, 0xA003, height);
        }
    }
    // No JPEG is larger than 65535 on a side: a size beyond is no size (the cell keeps the
    // unknown 4:3), never one cut to a negative int.
    if (width > kMaxJpegSide || height > kMaxJpegSide) {
        width = 4;
        height = 3;
    }
    const bool swap = orientation >= 5 && orientation <= 8;
    preview.read = true;
    preview.width = int(swap ? height : width);
    preview.height = int(swap ? width : height);
    preview.orientation = int(orientation);
    preview.image = image.isNull() ? uniqueId : image;
    preview.dateTime = dateTime;
    return preview;
}

CaptureFileReader::State CaptureFileReader::readState(const QString& path)
{
    State state;
    try {
        std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot open");
        const CIAPI::StateFileEditor editor(in);
        state.rating = editor.userRating();
        if (QFileInfo(path).size() > kEditedPreviewSize) {
            try {
                editor.getThumbnail();
                state.edited = true;
            } catch (const std::runtime_error&) { }
        }
    } catch (const std::exception& e) {
        qCWarning(lcCapture) << "can't read state" << path << e.what();
    }
    return state;
}

CaptureFileReader::Metadata CaptureFileReader::readMetadata(const QString& path)
{
    Metadata metadata;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcCapture) << "Cannot read" << path;
        return metadata;
    }
    metadata.read = true;
    QXmlStreamReader xml(&file);
    QStringList elements;
    QString name;
    int itemStars = 0;
    bool hasStars = false;
    QDateTime date;
    int duration = 0;
    const QStringList itemPath { QStringLiteral("metadata"), QStringLiteral("item") };
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const QString element = xml.name().toString();
            if (elements == itemPath) {
                // The record's fields: their text is read whole, up to their end.
                const QString value = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
                if (element == QLatin1String("path")) {
                    name = QFileInfo(QString(value).replace(QLatin1Char('\\'), QLatin1Char('/'))).fileName();
                } else if (element == QLatin1String("stars")) {
                    itemStars = value.toInt(&hasStars);
                } else if (element == QLatin1String("dt")) {
                    bool ok = false;
                    const qint64 ms = value.toLongLong(&ok);
                    // A time no camera clock can have (a damaged or forged file) is no date.
                    if (ok && VrxMetadata::captureTimeFrom(ms / 1000, 0).isValid())
                        date = QDateTime::fromSecsSinceEpoch(ms / 1000, Qt::UTC);
                } else if (element == QLatin1String("dur")) {
                    duration = value.toInt() / 1000;
                }
                continue;
            }
            // No camera nests its records deeper; a deeper file ends here, its items read so
            // far kept (the reader and the path would otherwise grow with every level).
            if (elements.size() >= kMaxMetadataDepth) {
                xml.raiseError(QStringLiteral("nested deeper than %1 elements").arg(kMaxMetadataDepth));
                break;
            }
            elements << element;
        } else if (token == QXmlStreamReader::EndElement) {
            if (elements == itemPath) {
                if (name.endsWith(QLatin1String("mp4")))
                    metadata.videos.insert(name, VideosModel::VideoMetadata { itemStars, duration, date });
                else if (hasStars && !name.isEmpty())
                    metadata.stars.insert(name, itemStars);
                name.clear();
                itemStars = 0;
                hasStars = false;
                date = QDateTime();
                duration = 0;
            }
            if (!elements.isEmpty())
                elements.removeLast();
        }
    }
    if (xml.hasError())
        qCWarning(lcCapture) << "metadata.xml:" << xml.errorString() << "at line" << xml.lineNumber();
    return metadata;
}

QUuid CaptureFileReader::readCalibrationCamera(const QString& path)
{
    return Metahistory::readCalibrationCamera(path);
}

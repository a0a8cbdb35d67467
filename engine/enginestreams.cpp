#include "engine/enginestreams.h"
#include "engine/logging.h"

#include "ciapi/propertyaccessor.h"
#include "ciapi/rendererbase.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <fstream>
#include <sstream>

std::filesystem::path toEnginePath(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

std::shared_ptr<std::ifstream> openFileStream(const QString& path)
{
    auto file = std::make_shared<std::ifstream>();
    if (QFileInfo(path).isFile())
        file->open(toEnginePath(path), std::ios::binary | std::ios::in);
    else
        file->setstate(std::ios::failbit);
    return file;
}

std::shared_ptr<std::istream> openPartStream(const StreamPart& part)
{
    auto file = openFileStream(part.fileName());
    if (part.offset() == 0 && part.size() < 0)
        return file;
    // A range of a file: read just those bytes (only used when mapping failed).
    std::string bytes;
    if (*file && part.offset() >= 0) {
        file->seekg(part.offset());
        if (part.size() < 0) {
            std::ostringstream rest;
            rest << file->rdbuf();
            bytes = rest.str();
        } else {
            bytes.resize(size_t(part.size()));
            file->read(bytes.data(), std::streamsize(part.size()));
            bytes.resize(size_t(std::max<std::streamsize>(0, file->gcount())));
        }
    }
    return std::make_shared<std::istringstream>(bytes, std::ios::binary | std::ios::in);
}

std::shared_ptr<MultiMemStream> readRawProperties(StreamPart& source, CIAPI::RendererBase& renderer,
    const QHash<int, std::shared_ptr<StreamPart>>& calibration)
{
    mapPart(source);
    const FaultCheck faults(&source);
    const uchar* data = source.data();
    const qint64 length = source.length();

    std::shared_ptr<StreamPart> hotPixel = calibration.value(kHotPixelResource);
    if (hotPixel && !mapPart(*hotPixel)) {
        qCWarning(lcEngine) << "Unmappable calibration skipped" << hotPixel->fileName();
        hotPixel.reset();
    }

    if (!hotPixel) {
        if (!data) {
            // Could not map (empty, unreadable or vanished file): the engine reads the
            // file itself and reports it unreadable when it is.
            qCDebug(lcEngine) << "stream" << source.fileName();
            renderer.setInputDataStream(openPartStream(source));
        } else {
            qCDebug(lcEngine) << "map" << source.fileName() << static_cast<const void*>(data) << length;
            renderer.setInputDataStream(data, size_t(length));
            faults.check();
        }
        return {};
    }

    qCDebug(lcEngine) << "hasHotPixel" << source.fileName() << static_cast<const void*>(data) << length;
    auto multi = std::make_shared<MultiMemStream>();
    if (data)
        multi->addRegion(data, length);
    else
        multi->addStream(openPartStream(source));
    multi->addRegion(hotPixel->data(), hotPixel->length(), hotPixel);
    renderer.setInputDataStream(MultiMemStream::open(multi));
    faults.check();
    FaultCheck(hotPixel.get()).check();
    return multi;
}

void attachInputStream(StreamPart& part, CIAPI::PropertyAccessor& accessor)
{
    accessor.setInputDataStream(openPartStream(part));
}

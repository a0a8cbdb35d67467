#include "engine/exportrequest.h"
#include "engine/logging.h"

#include "ciapi/image.h"
#include "ciapi/renderer.h"
#include "ciapi/transform.h"
#include "engine/enginestreams.h"
#include "engine/imagewriter.h"
#include "engine/transformhelpers.h"

#include <QDebug>
#include <QFile>

#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

bool ExportRequest::sameSettings(const ExportRequest& o) const
{
    return format == o.format && sizeMode == o.sizeMode && sizeValue == o.sizeValue && size == o.size
        && hiFi == o.hiFi;
}

bool ExportRequest::Order::operator()(const ExportRequest& a, const ExportRequest& b) const
{
    if (a.isExport() != b.isExport())
        return a.isExport();
    if (a.path != b.path)
        return a.path > b.path;
    if (a.format != b.format)
        return a.format < b.format;
    if (a.sizeMode != b.sizeMode)
        return a.sizeMode < b.sizeMode;
    if (a.sizeValue != b.sizeValue)
        return a.sizeValue < b.sizeValue;
    if (a.size.width() != b.size.width())
        return a.size.width() < b.size.width();
    if (a.size.height() != b.size.height())
        return a.size.height() < b.size.height();
    return a.hiFi < b.hiFi;
}

QSize exportOutputSize(
    const ExportRequest& request, const CIAPI::ImagePyramid& pyramid, const CIAPI::RectF& crop)
{
    auto level0 = [&]() {
        const CIAPI::Image& image = pyramid[0];
        return QSize(image.width(), image.height());
    };
    QSize size;
    switch (request.sizeMode) {
    case 1:
        size = request.size;
        break;
    case 2: {
        const CIAPI::Image& image = pyramid[request.sizeValue];
        size = QSize(image.width(), image.height());
        break;
    }
    case 3: {
        const QSize l0 = level0();
        if (l0.isEmpty())
            break;
        const double scale
            = std::sqrt(double(request.sizeValue) * 1000000.0 / (double(l0.width()) * l0.height()));
        size = QSize(int(l0.width() * scale), int(l0.height() * scale));
        break;
    }
    case 4: {
        const QSize l0 = level0();
        const qint64 s = qMin(l0.width(), l0.height());
        if (s <= 0)
            break;
        size = QSize(int(qint64(request.sizeValue) * l0.width() / s),
            int(qint64(request.sizeValue) * l0.height() / s));
        break;
    }
    default:
        break;
    }
    return QSize(int(size.width() * double(crop.width)), int(size.height() * double(crop.height)));
}

namespace {

int colorSpaceFor(int format)
{
    switch (format) {
    case CIAPI::ExportJPEG:
    case CIAPI::ExportPPM:
        return 4;
    case CIAPI::ExportDNG:
        return 0;
    case CIAPI::ExportHDR:
        return 1;
    default:
        throw std::runtime_error("Unexpected export format!");
    }
}

QString matrixText(const std::vector<float>& m)
{
    QStringList values;
    for (float v : m)
        values << QString::number(double(v));
    return QStringLiteral("std::vector(") + values.join(QStringLiteral(", ")) + QLatin1Char(')');
}

} // namespace

bool exportImage(ImageWriter& writer, const ExportRequest& request, std::function<void(int)> progress)
{
    const int colorSpace = colorSpaceFor(request.format);
    CIAPI::Renderer& renderer = writer.renderer();
    const CIAPI::ImagePyramid pyramid = renderer.outputBuffer();
    const CIAPI::Transform transform = renderer.transform();
    // The size of the part of the unturned picture that the crop shows; the engine turns
    // it. (Cutting the frame-squeezed crop of a quarter turn directly would swap the crop's
    // proportions.)
    const CIAPI::RectF pictureCrop = pictureCropFromFrame(transform);
    const QSize size = exportOutputSize(request, pyramid, pictureCrop);
    const CIAPI::Point<int> aspect = transform.aspectRatio();
    qCDebug(lcEngine).noquote() << "imageviewer aspect ratio:"
                                << QStringLiteral("%1,%2").arg(aspect.x).arg(aspect.y);
    qCDebug(lcEngine) << "imageviewer aspect ratio2:" << size;
    qCDebug(lcEngine).noquote() << "default matrix:" << matrixText(transform.matrix(aspect));

    qCDebug(lcEngine) << "export" << request.location << "into" << request.path << "format" << request.format
                      << "Hi-Fi" << request.hiFi;
    renderer.setProperty(CIAPI::IntParam::HighFidelity, request.hiFi);
    qCDebug(lcEngine) << "ExportAtHighQuality set";
    renderer.setProperty(CIAPI::IntParam::ExportColorSpace, colorSpace);
    qCDebug(lcEngine) << "ExportColorSpace set";
    if (request.sizeMode == 0)
        return true;

    const std::filesystem::path path = toEnginePath(request.path);
    {
        std::ofstream probe(path, std::ios::binary | std::ios::out | std::ios::app);
        if (!probe)
            throw std::runtime_error("Couldn't open file for writing!");
    }
    // The engine cuts the unturned picture: hand it the crop in the picture's axes for
    // the write.
    CIAPI::Transform& live = renderer.transform();
    struct RestoreCrop
    {
        CIAPI::Transform& t;
        CIAPI::RectF crop;
        ~RestoreCrop() { t.setCrop(crop); }
    } restore { live, live.crop() };
    live.setCrop(pictureCrop);

    bool written = false;
    try {
        auto stream = std::make_shared<std::ofstream>(path, std::ios::binary | std::ios::trunc);
        if (!*stream)
            throw std::runtime_error("Couldn't open file for writing!");
        written = renderer.writeImage(stream, CIAPI::Point<int> { size.width(), size.height() },
            CIAPI::ExportImageFormat(request.format), progress);
        stream->flush();
        written = written && stream->good();
        stream->close();
        written = written && !stream->fail();
    } catch (...) {
        QFile::remove(request.path);
        throw;
    }
    // A failed or aborted write leaves no partial file that could pass for an export.
    if (!written)
        QFile::remove(request.path);
    return written;
}

#include "engine/exportrequest.h"
#include "engine/logging.h"

#include "ciapi/image.h"
#include "ciapi/renderer.h"
#include "ciapi/transform.h"
#include "engine/enginestreams.h"
#include "engine/imagewriter.h"
#include "engine/transformhelpers.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

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

// Where an export is written before it takes its name: a hidden file beside the target
// that no other writer uses.
QString partPathFor(const QString& target)
{
    static std::atomic<unsigned> counter { 0 };
    const QFileInfo info(target);
    return info.absoluteDir().filePath(
        QStringLiteral(".%1.%2-%3.part").arg(info.fileName()).arg(qint64(::getpid())).arg(++counter));
}

// Removes what exports cut off by a crash left in `folder`: hidden part files of processes
// that are gone.
void removeStaleParts(const QDir& folder)
{
    const QStringList names = folder.entryList(
        { QStringLiteral(".*.part") }, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        // ".<name>.<pid>-<n>.part"
        const QString stem = name.chopped(5);
        const int dot = stem.lastIndexOf(QLatin1Char('.'));
        const int dash = stem.lastIndexOf(QLatin1Char('-'));
        bool ok = false;
        const qint64 pid = dot > 0 && dash > dot ? stem.mid(dot + 1, dash - dot - 1).toLongLong(&ok) : 0;
        if (!ok || pid <= 0 || pid == qint64(::getpid()))
            continue;
        if (::kill(pid_t(pid), 0) == 0 || errno != ESRCH)
            continue;
        if (QFile::remove(folder.filePath(name)))
            qCInfo(lcEngine) << "Removed the part of a cut-off export" << folder.filePath(name);
    }
}

// Makes the bytes of `path` durable, with the mode of `modeFrom` when that file exists.
bool makeDurable(const QString& path, const QString& modeFrom)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::stat(QFile::encodeName(modeFrom).constData(), &st) == 0)
        ::fchmod(fd, st.st_mode & 07777);
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

void syncFolderOf(const QString& path)
{
    const int fd = ::open(
        QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
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

    // A file (or a name not yet taken) gets the output under a hidden name beside it, made
    // durable and renamed over the name: a failure or a crash leaves what had the name, or
    // nothing, never a cut-off export. Anything else (a device) is written in place.
    const QFileInfo target(request.path);
    const bool inPlace = target.exists() && !target.isFile();
    const QString output = inPlace ? request.path : partPathFor(request.path);
    if (!inPlace)
        removeStaleParts(target.absoluteDir());
    if (target.exists()) {
        // A file that may not be written is not replaced either.
        std::ofstream probe(toEnginePath(request.path), std::ios::binary | std::ios::out | std::ios::app);
        if (!probe)
            throw std::runtime_error("Couldn't open file for writing!");
    }
    const std::filesystem::path path = toEnginePath(output);
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
        // The engine's last step is not the export's: the file is whole only once durable
        // and named, so it is done (100) only then. A quit waits for that.
        const auto engineProgress = [&progress](int percentage) {
            if (progress)
                progress(qMin(percentage, 99));
        };
        written = renderer.writeImage(stream, CIAPI::Point<int> { size.width(), size.height() },
            CIAPI::ExportImageFormat(request.format), engineProgress);
        stream->flush();
        written = written && stream->good();
        stream->close();
        written = written && !stream->fail();
        if (written && !inPlace) {
            if (!makeDurable(output, request.path))
                throw std::runtime_error("Couldn't write the file to the disk!");
            if (::rename(QFile::encodeName(output).constData(), QFile::encodeName(request.path).constData())
                != 0)
                throw std::runtime_error(
                    std::string("Couldn't give the file its name: ") + std::strerror(errno));
            syncFolderOf(request.path);
        }
    } catch (...) {
        if (!inPlace)
            QFile::remove(output);
        throw;
    }
    // A failed or aborted write leaves no partial file that could pass for an export.
    if (!written && !inPlace)
        QFile::remove(output);
    if (written && progress)
        progress(100);
    return written;
}

bool copyExport(const QString& from, const QString& to)
{
    const QFileInfo target(to);
    if (target.exists() && !target.isFile())
        return false;
    removeStaleParts(target.absoluteDir());
    const QString part = partPathFor(to);
    QFile in(from);
    QFile out(part);
    bool copied = in.open(QIODevice::ReadOnly)
        && out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered);
    while (copied) {
        const QByteArray chunk = in.read(1 << 20);
        if (chunk.isEmpty())
            break;
        copied = out.write(chunk) == chunk.size();
    }
    copied = copied && in.error() == QFileDevice::NoError && out.size() == in.size();
    out.close();
    copied = copied && makeDurable(part, to)
        && ::rename(QFile::encodeName(part).constData(), QFile::encodeName(to).constData()) == 0;
    if (!copied) {
        qCWarning(lcEngine) << "Can't copy the export" << from << "to" << to << out.errorString();
        QFile::remove(part);
        return false;
    }
    syncFolderOf(to);
    return true;
}

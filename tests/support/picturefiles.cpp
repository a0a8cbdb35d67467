#include "support/picturefiles.h"

#include "ciapi/codec/jpegcodec.h"
#include "ciapi/state/statecodec.h"

#include <QDir>
#include <QFile>

namespace ostra::test {

vrxgen::PictureOptions PictureFiles::small(std::uint32_t seed)
{
    vrxgen::PictureOptions o;
    o.seed = seed;
    o.moduleWidth = 128;
    o.moduleHeight = 96;
    o.frames = 1;
    return o;
}

QString PictureFiles::write(const QString& folder, const QString& name, const vrxgen::Picture& picture)
{
    const QString path = QDir(folder).absoluteFilePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    const auto& bytes = picture.vrx;
    if (file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) != qint64(bytes.size()))
        return QString();
    return path;
}

QString PictureFiles::write(const QString& folder, const QString& name, const vrxgen::PictureOptions& options)
{
    return write(folder, name, vrxgen::makePicture(options));
}

bool PictureFiles::writeFlatThumbnailState(const QString& statePath, const CIAPI::vrx::UuidWords& image,
    int width, int height, std::uint8_t red, std::uint8_t green, std::uint8_t blue, int rating)
{
    CIAPI::Image thumb = CIAPI::Image::Create(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = thumb.row(y) + x * 4;
            p[0] = red;
            p[1] = green;
            p[2] = blue;
            p[3] = 255;
        }
    }
    CIAPI::state::EngineState state;
    state.imageId = image;
    state.rating = rating;
    state.thumbnailJpeg = CIAPI::codec::JpegCodec::encode(thumb, 95);
    // As the editor saves it: with the depth settings the thumbnail was drawn with.
    state.depthOfField = 4.f;
    state.focusDepth = 1.f;
    return vrxgen::writeFile(
        QFile::encodeName(statePath).toStdString(), CIAPI::state::StateCodec::write(state));
}

} // namespace ostra::test

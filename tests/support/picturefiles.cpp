#include "support/picturefiles.h"

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

} // namespace ostra::test

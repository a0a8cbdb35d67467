#pragma once

#include "engine/statefile.h"
#include "support/picturefiles.h"

#include <QColor>
#include <QString>
#include <QUrl>
#include <QtGlobal>

namespace displaytest {

// A window pixel within a tolerance of a colour (thumbnails pass through JPEG).
inline bool near(QRgb got, const QColor& want, int tolerance = 12)
{
    return qAbs(qRed(got) - want.red()) <= tolerance && qAbs(qGreen(got) - want.green()) <= tolerance
        && qAbs(qBlue(got) - want.blue()) <= tolerance;
}

inline QString describe(QRgb c)
{
    return QStringLiteral("(%1, %2, %3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

// The state file beside a raw file, naming its picture, with a thumbnail of one colour.
inline bool writeFlatThumbnail(const QString& rawPath, const CIAPI::vrx::UuidWords& image, int width,
    int height, const QColor& c, int rating)
{
    const QString statePath = StateFile::pathFor(QUrl::fromLocalFile(rawPath));
    return ostra::test::PictureFiles::writeFlatThumbnailState(
        statePath, image, width, height, uint8_t(c.red()), uint8_t(c.green()), uint8_t(c.blue()), rating);
}

} // namespace displaytest

#include "display/imageplanes.h"
#include "display/logging.h"

#include "display/enginerects.h"

#include <QDebug>
#include <QOpenGLFunctions>

#ifndef GL_UNPACK_ROW_LENGTH
#define GL_UNPACK_ROW_LENGTH 0x0CF2
#endif
#ifndef GL_PIXEL_UNPACK_BUFFER
#define GL_PIXEL_UNPACK_BUFFER 0x88EC
#endif

ImagePlanes::ImagePlane::ImagePlane(const CIAPI::Image& image, int format)
    : m_image(image)
    , m_format(format)
    , m_rowLength(image.empty() ? 0 : image.stride() / 4)
    , m_width(image.empty() ? 0 : image.width())
    , m_height(image.empty() ? 0 : image.height())
    , m_rows((m_height + kTileSize - 1) / kTileSize)
    , m_columns((m_width + kTileSize - 1) / kTileSize)
{ }

ImagePlanes::ImagePlane::~ImagePlane()
{
    dropTextures();
}

QRect ImagePlanes::ImagePlane::tileRect(int i) const
{
    // The last column and row hold what is left of the level, not a whole tile.
    const int x = (i % m_columns) * kTileSize;
    const int y = (i / m_columns) * kTileSize;
    return QRect(x, y, qMin(kTileSize, m_width - x), qMin(kTileSize, m_height - y));
}

unsigned ImagePlanes::ImagePlane::textureId(int i) const
{
    if (m_textures.empty() || i < 0 || i >= tileCount())
        return 0;
    return m_textures[size_t(i / m_columns)][size_t(i % m_columns)];
}

void ImagePlanes::ImagePlane::addRegion(const QRegion& region, bool force)
{
    QRegion add = region & levelRect();
    if (!force)
        add -= m_uploaded;
    m_pending |= add;
}

bool ImagePlanes::ImagePlane::isComplete() const
{
    return (QRegion(levelRect()) - (m_pending | m_uploaded)).isEmpty();
}

void ImagePlanes::ImagePlane::create()
{
    QOpenGLFunctions* f = m_functions;
    if (!f || m_width <= 0 || m_height <= 0)
        return;
    const QSurfaceFormat format = m_context->format();
    if (m_context->isOpenGLES()) {
        m_unpackBuffer = format.majorVersion() >= 3;
        m_rowLengthSupported
            = format.majorVersion() >= 3 || m_context->hasExtension("GL_EXT_unpack_subimage");
    } else {
        m_unpackBuffer = format.version() >= qMakePair(2, 1);
        m_rowLengthSupported = true;
    }
    f->glActiveTexture(GL_TEXTURE0);
    m_textures.assign(size_t(m_rows), std::vector<unsigned>(size_t(m_columns), 0u));
    int tile = 0;
    for (auto& row : m_textures) {
        f->glGenTextures(GLsizei(row.size()), row.data());
        for (unsigned name : row) {
            // Each texture as large as its part of the level: a thumbnail takes its own size,
            // not a whole tile.
            const QSize size = tileRect(tile++).size();
            f->glBindTexture(GL_TEXTURE_2D, name);
            f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
            if (m_unpackBuffer)
                f->glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
            f->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, size.width(), size.height(), 0, GLenum(m_format),
                GL_UNSIGNED_BYTE, nullptr);
        }
    }
    f->glBindTexture(GL_TEXTURE_2D, 0);
}

void ImagePlanes::ImagePlane::release()
{
    m_pending |= m_uploaded;
    m_uploaded = QRegion();
    dropTextures();
}

void ImagePlanes::ImagePlane::dropTextures()
{
    if (m_textures.empty())
        return;
    if (m_functions && owningContextCurrent()) {
        for (auto& row : m_textures)
            m_functions->glDeleteTextures(GLsizei(row.size()), row.data());
    } else {
        // The names belong to a context that is not current here (or is gone): passing
        // them to the GL would delete the current context's objects of the same names.
        qCDebug(lcDisplay) << "Forgetting" << tileCount() << "texture names of a context that is not current";
    }
    m_textures.clear();
}

void ImagePlanes::ImagePlane::uploadRegion()
{
    QOpenGLFunctions* f = m_functions;
    if (!f || m_textures.empty() || m_pending.isEmpty())
        return;
    const QRect level = levelRect();
    const uint8_t* data = m_image.data();
    for (const QRect& pendingRect : m_pending) {
        // Never read outside the level, whatever reached the pending region.
        const QRect r = pendingRect & level;
        if (r.isEmpty())
            continue;
        if (m_rowLengthSupported)
            f->glPixelStorei(GL_UNPACK_ROW_LENGTH, m_rowLength);
        const uint8_t* base = data + (std::ptrdiff_t(m_rowLength) * r.top() + r.left()) * 4;
        for (int row = r.top() / kTileSize; row <= r.bottom() / kTileSize; ++row) {
            for (int column = r.left() / kTileSize; column <= r.right() / kTileSize; ++column) {
                const int x = column * kTileSize;
                const int y = row * kTileSize;
                const QRect tile(x, y, qMin(m_width, x + kTileSize) - x, qMin(m_height, y + kTileSize) - y);
                const QRect i = r & tile;
                if (i.isEmpty())
                    continue;
                f->glBindTexture(GL_TEXTURE_2D, m_textures[size_t(row)][size_t(column)]);
                if (m_unpackBuffer)
                    f->glBindBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
                subImage(i.left() - x, i.top() - y, i.width(), i.height(),
                    base + (std::ptrdiff_t(m_rowLength) * (i.top() - r.top()) + (i.left() - r.left())) * 4);
                f->glFlush();
            }
        }
        f->glBindTexture(GL_TEXTURE_2D, 0);
        if (m_rowLengthSupported)
            f->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    }
    m_uploaded |= m_pending;
    m_pending = QRegion();
}

void ImagePlanes::ImagePlane::subImage(int x, int y, int width, int height, const uint8_t* pixels)
{
    QOpenGLFunctions* f = m_functions;
    if (m_rowLengthSupported || height == 1 || m_rowLength == width) {
        f->glTexSubImage2D(GL_TEXTURE_2D, 0, x, y, width, height, GLenum(m_format), GL_UNSIGNED_BYTE, pixels);
        return;
    }
    // Without a row length the rows go one by one, straight from the level's memory.
    for (int row = 0; row < height; ++row)
        f->glTexSubImage2D(GL_TEXTURE_2D, 0, x, y + row, width, 1, GLenum(m_format), GL_UNSIGNED_BYTE,
            pixels + std::ptrdiff_t(row) * m_rowLength * 4);
}

ImagePlanes::ImagePlanes(const CIAPI::ImagePyramid& pyramid, int format)
    : m_pyramid(pyramid)
{
    const int levels = pyramid.isNull() ? 0 : pyramid.levelCount();
    m_planes.reserve(size_t(levels));
    for (int i = 0; i < levels; ++i)
        m_planes.push_back(std::make_unique<ImagePlane>(m_pyramid[i], format));
}

void ImagePlanes::markDirty(int level, const CIAPI::ROI& rect, bool force)
{
    if (level < 0 || level >= levelCount())
        return;
    plane(level).addRegion(QRegion(fromEngineRect(rect)), force);
}

void ImagePlanes::applyDirtyRegions(std::vector<QRegion>& regions, bool force)
{
    for (int level = 0; level < levelCount() && level < int(regions.size()); ++level) {
        plane(level).addRegion(regions[size_t(level)], force);
        regions[size_t(level)] = QRegion();
    }
}

void ImagePlanes::bind()
{
    QOpenGLContext* current = QOpenGLContext::currentContext();
    for (auto& p : m_planes)
        p->setContext(current);
}

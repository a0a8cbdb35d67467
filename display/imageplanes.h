#pragma once

#include "ciapi/image.h"
#include "display/glapiclient.h"

#include <QRect>
#include <QRegion>

#include <memory>
#include <vector>

// The OpenGL textures of every level of one image pyramid, uploaded incrementally where
// new pixels arrived. Used on the scene-graph render thread only.
class ImagePlanes
{
public:
    static constexpr int kTileSize = 1024;

    // One pyramid level as a grid of textures of kTileSize pixels square, those of the last
    // column and row only as wide and high as the level reaches.
    class ImagePlane : public GLAPIClient
    {
    public:
        ImagePlane(const CIAPI::Image& image, int format);
        ~ImagePlane() override;
        ImagePlane(const ImagePlane&) = delete;
        ImagePlane& operator=(const ImagePlane&) = delete;

        // Adds pixels to upload; unless `force`, pixels already uploaded are left out.
        // Only the part inside the level counts.
        void addRegion(const QRegion& region, bool force);
        // Every pixel of the level is uploaded or waiting for upload.
        bool isComplete() const;
        // Uploads the pending pixels into the textures (the context must be current).
        void uploadRegion();

        const CIAPI::Image& image() const { return m_image; }
        int format() const { return m_format; }
        int rowLength() const { return m_rowLength; }
        int width() const { return m_width; }
        int height() const { return m_height; }
        int rows() const { return m_rows; }
        int columns() const { return m_columns; }
        int tileCount() const { return m_rows * m_columns; }
        QRect levelRect() const { return QRect(0, 0, m_width, m_height); }
        QRect tileRect(int i) const;
        // The texture of tile i; 0 until created.
        unsigned textureId(int i) const;
        bool hasTextures() const { return !m_textures.empty(); }
        const QRegion& pending() const { return m_pending; }
        const QRegion& uploaded() const { return m_uploaded; }

    protected:
        void create() override;
        // Everything uploaded becomes pending again; the textures are deleted when their
        // context is current, otherwise their names are forgotten.
        void release() override;

    private:
        void dropTextures();
        void subImage(int x, int y, int width, int height, const uint8_t* pixels);

        CIAPI::Image m_image;
        int m_format;
        int m_rowLength;
        int m_width;
        int m_height;
        int m_rows;
        int m_columns;
        std::vector<std::vector<unsigned>> m_textures;
        QRegion m_pending;
        QRegion m_uploaded;
        bool m_unpackBuffer = false; // GL_PIXEL_UNPACK_BUFFER exists
        bool m_rowLengthSupported = true; // GL_UNPACK_ROW_LENGTH exists
    };

    ImagePlanes(const CIAPI::ImagePyramid& pyramid, int format);

    const CIAPI::ImagePyramid& pyramid() const { return m_pyramid; }
    int levelCount() const { return int(m_planes.size()); }
    ImagePlane& plane(int level) { return *m_planes[size_t(level)]; }
    const ImagePlane& plane(int level) const { return *m_planes[size_t(level)]; }

    // Adds an engine rectangle of a level to that level's pending pixels.
    void markDirty(int level, const CIAPI::ROI& rect, bool force);
    // Adds regions[level] to each level and empties the regions.
    void applyDirtyRegions(std::vector<QRegion>& regions, bool force);
    // Assigns the current context to every plane.
    void bind();

private:
    CIAPI::ImagePyramid m_pyramid;
    std::vector<std::unique_ptr<ImagePlane>> m_planes;
};

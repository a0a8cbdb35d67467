#include "support/testmain.h"

#include "display/imageplanes.h"
#include "display/imageplanesnode.h"
#include "engine/channelorder.h"
#include "support/glhelpers.h"

#include <QSGOpacityNode>

using namespace displaytest;

namespace {

constexpr int kRgba = ChannelOrder::kGlRgba;
constexpr int kBgra = ChannelOrder::kGlBgra;
constexpr int kTile = ImagePlanes::kTileSize;

// Compares one tile's texture with the level's pixels over `area` (level coordinates).
// The texture holds RGBA whatever the upload format: a BGRA level reads back swapped.
bool tileMatches(
    QOpenGLFunctions* f, const ImagePlanes::ImagePlane& plane, int tile, const QRect& area, QString* why)
{
    const QRect t = plane.tileRect(tile);
    const std::vector<uint8_t> back = readTexture(f, plane.textureId(tile), t.width(), t.height());
    const QRect check = area & t & plane.levelRect();
    for (int y = check.top(); y <= check.bottom(); ++y)
        for (int x = check.left(); x <= check.right(); ++x) {
            const uint8_t* src = plane.image().row(y) + x * 4;
            const uint8_t* got
                = back.data() + (size_t(y - t.top()) * size_t(t.width()) + size_t(x - t.left())) * 4;
            const bool swap = plane.format() == kBgra;
            const uint8_t want[4] = { src[swap ? 2 : 0], src[1], src[swap ? 0 : 2], src[3] };
            if (memcmp(got, want, 4) != 0) {
                *why = QString::asprintf("tile %d pixel (%d, %d): got %d %d %d, want %d %d %d", tile, x, y,
                    got[0], got[1], got[2], want[0], want[1], want[2]);
                return false;
            }
        }
    return true;
}

// The size of a texture's first level, as the GL reports it (invalid where it cannot).
QSize textureSize(unsigned texture)
{
    QOpenGLContext* context = QOpenGLContext::currentContext();
    using GetLevelParameter = void (*)(GLenum, GLint, GLenum, GLint*);
    const auto get = context && !context->isOpenGLES()
        ? reinterpret_cast<GetLevelParameter>(context->getProcAddress("glGetTexLevelParameteriv"))
        : nullptr;
    if (!get)
        return QSize();
    GLint width = 0;
    GLint height = 0;
    context->functions()->glBindTexture(GL_TEXTURE_2D, texture);
    get(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    get(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
    context->functions()->glBindTexture(GL_TEXTURE_2D, 0);
    return QSize(width, height);
}

// Fills every texture of a plane with one byte value.
void paintTextures(QOpenGLFunctions* f, const ImagePlanes::ImagePlane& plane, uint8_t value)
{
    std::vector<uint8_t> fill(size_t(kTile) * kTile * 4, value);
    for (int i = 0; i < plane.tileCount(); ++i) {
        const QSize size = plane.tileRect(i).size();
        f->glBindTexture(GL_TEXTURE_2D, plane.textureId(i));
        f->glTexSubImage2D(
            GL_TEXTURE_2D, 0, 0, 0, size.width(), size.height(), GL_RGBA, GL_UNSIGNED_BYTE, fill.data());
    }
    f->glBindTexture(GL_TEXTURE_2D, 0);
}

// The pixels of a tile's texture whose colour bytes all hold `value`.
int countPixelsOf(const std::vector<uint8_t>& texture, uint8_t value)
{
    int n = 0;
    for (size_t i = 0; i < texture.size(); i += 4)
        n += texture[i] == value && texture[i + 1] == value && texture[i + 2] == value;
    return n;
}

CIAPI::ImagePyramid pyramidOf(const CIAPI::Image& image)
{
    CIAPI::ImagePyramid p = CIAPI::ImagePyramid::Create(1);
    p[0] = image;
    return p;
}

} // namespace

class TestImagePlanes : public QObject
{
    Q_OBJECT
private:
    GLContext* m_gl = nullptr;

private slots:
    void initTestCase()
    {
        m_gl = new GLContext;
        QVERIFY2(m_gl->create(), "no OpenGL context (run under Xvfb with Mesa)");
    }
    void cleanupTestCase() { delete m_gl; }
    void init() { QVERIFY(m_gl->makeCurrent()); }

    void uploadReadsBack_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("stride");
        QTest::addColumn<int>("format");
        // One row past a tile: a second column receiving a 1-pixel-wide upload.
        QTest::newRow("1025x1 bgra") << 1025 << 1 << 0 << kBgra;
        // A gallery thumbnail: one texture of its own size.
        QTest::newRow("520x390 rgba") << 520 << 390 << 0 << kRgba;
        // Neither side a multiple of the tile; the engine pads rows to 64 bytes.
        QTest::newRow("1500x1030 rgba") << 1500 << 1030 << 0 << kRgba;
        // Rows much wider than the pixels in them.
        QTest::newRow("301x77 wide stride") << 301 << 77 << 4096 << kRgba;
        QTest::newRow("1029x3 wide stride bgra") << 1029 << 3 << 8192 << kBgra;
    }
    // A region reaching past the level (even negative) is clipped to it: nothing is read
    // outside the level's memory, which here ends at an unreadable page.
    void uploadReadsBack()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, stride);
        QFETCH(int, format);
        const int rowBytes = stride ? stride : (width * 4 + 63) / 64 * 64;
        GuardedBuffer memory(width, height, rowBytes);
        const CIAPI::Image image = CIAPI::Image::Create(width, height, 0, rowBytes, 0, memory.data());
        fillPattern(image);
        ImagePlanes planes(pyramidOf(image), format);
        ImagePlanes::ImagePlane& plane = planes.plane(0);
        planes.bind();
        QVERIFY(plane.hasTextures());
        QVERIFY(!plane.isComplete());
        planes.markDirty(0, CIAPI::ROI { -50, -50, width + 5000, height + 5000 }, false);
        QCOMPARE(plane.pending(), QRegion(plane.levelRect()));
        QVERIFY(plane.isComplete());
        // Out of range levels are ignored.
        planes.markDirty(3, CIAPI::ROI { 0, 0, 10, 10 }, true);
        planes.markDirty(-1, CIAPI::ROI { 0, 0, 10, 10 }, true);
        plane.uploadRegion();
        QVERIFY(plane.pending().isEmpty());
        QCOMPARE(plane.uploaded(), QRegion(plane.levelRect()));
        QCOMPARE(m_gl->f()->glGetError(), GLenum(GL_NO_ERROR));
        for (int i = 0; i < plane.tileCount(); ++i) {
            QString why;
            QVERIFY2(tileMatches(m_gl->f(), plane, i, plane.levelRect(), &why), qPrintable(why));
        }
        // The tiles cover the level exactly, and each texture is as large as its tile, no
        // more: a thumbnail's level takes its own size of texture memory.
        QRegion covered;
        for (int i = 0; i < plane.tileCount(); ++i) {
            const QRect tile = plane.tileRect(i);
            QVERIFY(tile.width() <= kTile && tile.height() <= kTile);
            QVERIFY(!covered.intersects(tile));
            covered |= tile;
            const QSize size = textureSize(plane.textureId(i));
            if (!size.isValid())
                QSKIP("the GL cannot tell a texture's size");
            QCOMPARE(size, tile.size());
        }
        QCOMPARE(covered, QRegion(plane.levelRect()));
    }

    // Only the pending rectangle is written, across a tile border; the rest of every
    // tile keeps what it held.
    void partialUploadTouchesOnlyPending()
    {
        const CIAPI::Image image = CIAPI::Image::Create(2100, 1100);
        fillPattern(image);
        ImagePlanes planes(pyramidOf(image), kRgba);
        ImagePlanes::ImagePlane& plane = planes.plane(0);
        planes.bind();
        paintTextures(m_gl->f(), plane, 0xAB);
        const QRect rect(1000, 1010, 60, 30); // four tiles meet inside it
        planes.markDirty(
            0, CIAPI::ROI { rect.left(), rect.top(), rect.right() + 1, rect.bottom() + 1 }, false);
        plane.uploadRegion();
        QCOMPARE(plane.uploaded(), QRegion(rect));
        for (int i = 0; i < plane.tileCount(); ++i) {
            QString why;
            QVERIFY2(tileMatches(m_gl->f(), plane, i, rect, &why), qPrintable(why));
            const QRect tile = plane.tileRect(i);
            const QRect written = rect & tile;
            const std::vector<uint8_t> back
                = readTexture(m_gl->f(), plane.textureId(i), tile.width(), tile.height());
            QCOMPARE(
                countPixelsOf(back, 0xAB), tile.width() * tile.height() - written.width() * written.height());
        }
    }

    // Moving the planes to another context never deletes that context's objects: the
    // old names are forgotten there, everything is uploaded again into the new one.
    void contextChangeDeletesOnlyInOwningContext()
    {
        const CIAPI::Image image = CIAPI::Image::Create(1100, 50);
        fillPattern(image);
        ImagePlanes planes(pyramidOf(image), kRgba);
        ImagePlanes::ImagePlane& plane = planes.plane(0);
        planes.bind();
        planes.markDirty(0, CIAPI::ROI { 0, 0, 1100, 50 }, false);
        plane.uploadRegion();
        const unsigned oldFirst = plane.textureId(0);

        GLContext other;
        QVERIFY(other.create());
        QOpenGLFunctions* g = other.f();
        // The other context's own textures, with the same names the planes used.
        std::vector<GLuint> own(size_t(oldFirst) + 4, 0);
        g->glGenTextures(GLsizei(own.size()), own.data());
        std::vector<uint8_t> fill(16 * 16 * 4, 0x5C);
        for (GLuint t : own) {
            g->glBindTexture(GL_TEXTURE_2D, t);
            g->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 16, 16, 0, GL_RGBA, GL_UNSIGNED_BYTE, fill.data());
        }
        QVERIFY(std::find(own.begin(), own.end(), GLuint(oldFirst)) != own.end());

        QTest::ignoreMessage(QtWarningMsg,
            "Overwriting an assigned QOpenGLContext: QSGRenderNode::releaseResources() not called?");
        planes.bind(); // the other context is current
        QCOMPARE(plane.context(), &other.context);
        QVERIFY(plane.uploaded().isEmpty());
        QCOMPARE(plane.pending(), QRegion(plane.levelRect()));
        for (GLuint t : own) {
            QVERIFY(g->glIsTexture(t));
            const std::vector<uint8_t> back = readTexture(g, t, 16, 16);
            QCOMPARE(int(std::count(back.begin(), back.end(), uint8_t(0x5C))), 16 * 16 * 4);
        }
        plane.uploadRegion();
        for (int i = 0; i < plane.tileCount(); ++i) {
            QString why;
            QVERIFY2(tileMatches(g, plane, i, plane.levelRect(), &why), qPrintable(why));
        }

        // Back in the first context with the other one current again: moving while the
        // owner is current deletes the names for real.
        const std::vector<unsigned> names { plane.textureId(0), plane.textureId(1) };
        QTest::ignoreMessage(QtWarningMsg,
            "Overwriting an assigned QOpenGLContext: QSGRenderNode::releaseResources() not called?");
        plane.setContext(nullptr);
        for (unsigned n : names)
            QVERIFY(!g->glIsTexture(n));
        g->glDeleteTextures(GLsizei(own.size()), own.data());

        // Planes that go away take their textures with them, also when the current context
        // only shares its objects with theirs.
        GLContext sharing;
        for (const bool share : { false, true }) {
            std::vector<unsigned> dropped;
            {
                ImagePlanes gone(pyramidOf(image), kRgba);
                gone.bind();
                gone.markDirty(0, CIAPI::ROI { 0, 0, 1100, 50 }, false);
                gone.plane(0).uploadRegion();
                dropped = { gone.plane(0).textureId(0), gone.plane(0).textureId(1) };
                QVERIFY(g->glIsTexture(dropped[0]) && g->glIsTexture(dropped[1]));
                if (share)
                    QVERIFY(sharing.create(&other.context));
            }
            QVERIFY(other.makeCurrent());
            for (unsigned n : dropped)
                QVERIFY(!g->glIsTexture(n));
        }
    }
};

OSTRA_TEST_MAIN(TestImagePlanes)
#include "tst_imageplanes.moc"

#pragma once

#include "ciapi/image.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace displaytest {

// A real OpenGL context on an offscreen surface (Mesa under Xvfb in CI).
struct GLContext
{
    QOffscreenSurface surface;
    QOpenGLContext context;

    bool create(QOpenGLContext* shareWith = nullptr)
    {
        surface.create();
        if (shareWith)
            context.setShareContext(shareWith);
        return context.create() && makeCurrent();
    }
    bool makeCurrent() { return context.makeCurrent(&surface); }
    QOpenGLFunctions* f() { return context.functions(); }
};

// Reads a texture back through a framebuffer, as RGBA rows of width * 4 bytes.
inline std::vector<uint8_t> readTexture(QOpenGLFunctions* f, unsigned texture, int width, int height)
{
    std::vector<uint8_t> out(size_t(width) * size_t(height) * 4, 0);
    GLuint fbo = 0;
    f->glGenFramebuffers(1, &fbo);
    f->glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    f->glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    if (f->glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE) {
        f->glPixelStorei(GL_PACK_ALIGNMENT, 1);
        f->glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, out.data());
    }
    f->glBindFramebuffer(GL_FRAMEBUFFER, 0);
    f->glDeleteFramebuffers(1, &fbo);
    return out;
}

// Pixel memory that ends exactly at an unreadable page, so any read past the last
// pixel of the last row faults at once.
class GuardedBuffer
{
public:
    GuardedBuffer(int width, int height, int stride)
    {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t bytes = size_t(stride) * size_t(height - 1) + size_t(width) * 4;
        m_dataPages = (bytes + page - 1) / page * page;
        m_size = m_dataPages + page;
        void* mem = mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_base = static_cast<uint8_t*>(mem);
        mprotect(m_base + m_dataPages, page, PROT_NONE);
        m_data = m_base + (m_dataPages - bytes);
    }
    ~GuardedBuffer() { munmap(m_base, m_size); }
    uint8_t* data() const { return m_data; }

private:
    uint8_t* m_base = nullptr;
    uint8_t* m_data = nullptr;
    size_t m_size = 0;
    size_t m_dataPages = 0;
};

// A recognisable pixel for every position.
inline void fillPattern(const CIAPI::Image& image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            uint8_t* p = image.row(y) + x * 4;
            p[0] = uint8_t(x * 7 + y * 3);
            p[1] = uint8_t(x >> 3 ^ y * 11);
            p[2] = uint8_t(y * 5 + (x >> 8) * 37);
            p[3] = 255;
        }
}

} // namespace displaytest

#include "engine/directstreamreader.h"

#include "ciapi/directrenderer.h"
#include "engine/pixelhelpers.h"
#include "engine/streampart.h"

DirectStreamReader::DirectStreamReader()
    : m_renderer(CIAPI::DirectRenderer::Create(4))
{ }

DirectStreamReader::~DirectStreamReader()
{
    // The renderer first, then the listener, then (with the base) the source.
    m_renderer.reset();
    m_listener = nullptr;
}

CIAPI::RendererBase& DirectStreamReader::renderer()
{
    return *m_renderer;
}

void DirectStreamReader::setOutputUpdateListener(OutputListener listener)
{
    m_listener = std::move(listener);
}

void DirectStreamReader::render()
{
    CIAPI::ImagePyramid pyramid = CIAPI::ImagePyramid::Create(1);
    const int width = m_renderer->width();
    const int height = m_renderer->height();
    for (int i = 0; i < pyramid.levelCount(); ++i)
        pyramid[i] = CIAPI::Image::Create(width >> i, height >> i, 0, 0, 0, nullptr);
    const FaultCheck faults(source().get());
    m_renderer->render(pyramid[0]);
    faults.check();
    m_listener(pyramid, imageRect(pyramid[0]), 0);
}

#pragma once

#include "engine/streamreader.h"

namespace CIAPI {
class DirectRenderer;
}

// Small synchronous renders (thumbnails, metadata reads) through a direct renderer.
class DirectStreamReader : public StreamReader
{
public:
    DirectStreamReader();
    ~DirectStreamReader() override;

    CIAPI::RendererBase& renderer() override;
    CIAPI::DirectRenderer& directRenderer() { return *m_renderer; }
    void setOutputUpdateListener(OutputListener listener) override;
    // Renders the thumbnail and hands it to the listener; without a listener the call
    // fails with std::bad_function_call.
    void render() override;

private:
    std::shared_ptr<CIAPI::DirectRenderer> m_renderer;
    OutputListener m_listener;
};

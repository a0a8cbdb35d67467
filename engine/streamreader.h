#pragma once

#include "ciapi/image.h"
#include "engine/streampart.h"

#include <QMetaType>

#include <functional>
#include <memory>

namespace CIAPI {
class RendererBase;
}

class MultiMemStream;

// A renderer bound to one source; used by one thread at a time.
class StreamReader
{
public:
    using OutputListener = std::function<void(const CIAPI::ImagePyramid&, const CIAPI::ROI&, int)>;

    virtual ~StreamReader();

    // Makes `source` the renderer's input and keeps it (releasing any earlier source
    // once the renderer has let go of it). Engine errors for unreadable files propagate.
    virtual void setSource(std::shared_ptr<StreamPart> source);
    virtual CIAPI::RendererBase& renderer() = 0;
    virtual void setOutputUpdateListener(OutputListener listener) = 0;
    virtual void render() = 0;
    // Gives the renderer an empty input, which lets go of the file.
    virtual void releaseInput();

    std::shared_ptr<StreamPart> source() const { return m_source; }

protected:
    std::shared_ptr<StreamPart> m_source;
    std::shared_ptr<MultiMemStream> m_stream;
};

Q_DECLARE_METATYPE(std::shared_ptr<StreamReader>)

#include "engine/streamreader.h"

#include "ciapi/rendererbase.h"
#include "engine/enginestreams.h"

StreamReader::~StreamReader() = default;

void StreamReader::setSource(std::shared_ptr<StreamPart> source)
{
    // The renderer may still point into the earlier source's mapping until it takes the
    // new input, so the earlier source goes only afterwards.
    std::shared_ptr<StreamPart> previous = std::move(m_source);
    std::shared_ptr<MultiMemStream> previousStream = std::move(m_stream);
    m_source = std::move(source);
    if (m_source)
        m_stream = readRawProperties(*m_source, renderer(), {});
    else
        renderer().setInputDataStream(std::shared_ptr<std::istream>());
}

void StreamReader::releaseInput()
{
    renderer().setInputDataStream(std::shared_ptr<std::istream>());
    m_stream.reset();
}

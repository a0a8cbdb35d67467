#include "engine/imagewriter.h"

#include "ciapi/renderer.h"
#include "engine/multimemstream.h"
#include "engine/streampart.h"
#include "engine/vrxmetadata.h"

#include <QTimeZone>

ImageWriter::ImageWriter() = default;

ImageWriter::~ImageWriter() = default;

QUrl ImageWriter::currentUrl() const
{
    QMutexLocker lock(&m_openMutex);
    return m_url;
}

bool ImageWriter::isLoaded() const
{
    QMutexLocker lock(&m_openMutex);
    return m_loaded;
}

QDateTime ImageWriter::stateTime() const
{
    if (!m_stateStamp.exists())
        return QDateTime();
    return QDateTime::fromMSecsSinceEpoch(m_stateStamp.mtimeNs / 1000000);
}

void ImageWriter::setUrl(const QUrl& url)
{
    QMutexLocker lock(&m_openMutex);
    m_url = url;
}

void ImageWriter::refreshFacts()
{
    CIAPI::Renderer& r = *m_renderer;
    CIAPI::ImagePyramid pyramid = r.outputBuffer();
    m_outputSize = pyramid.levelCount() > 0 ? QSize(pyramid[0].width(), pyramid[0].height()) : QSize();
    m_exposureTime = r.getProperty(CIAPI::FloatParam::ExposureTime);
    m_evOffset = r.getProperty(CIAPI::FloatParam::EvOffset);
    m_iso = r.getProperty(CIAPI::IntParam::Iso);
    m_focalLength = r.getProperty(CIAPI::IntParam::FocalLength);
    const qint64 seconds = r.getProperty(CIAPI::IntParam::CaptureTime);
    const qint64 offsetMinutes = r.getProperty(CIAPI::IntParam::UtcOffset);
    // Invalid (no time shown) when the file's clock says what no camera clock can.
    m_captureTime = VrxMetadata::captureTimeFrom(seconds, offsetMinutes);
    m_depthOfField = r.getProperty(CIAPI::FloatParam::DepthOfField);
    QMutexLocker lock(&m_openMutex);
    m_currentPyramid = pyramid;
}

void ImageWriter::retireInput(std::shared_ptr<const CIAPI::vrx::VrxImage> input,
    std::shared_ptr<StreamPart> source, std::shared_ptr<MultiMemStream> stream)
{
    if (input && (source || stream))
        m_retired.push_back({ std::move(input), std::move(source), std::move(stream) });
    purgeRetired();
}

void ImageWriter::purgeRetired()
{
    // An input that only this list still holds is read by nobody.
    for (auto it = m_retired.begin(); it != m_retired.end();) {
        if (it->input.use_count() <= 1)
            it = m_retired.erase(it);
        else
            ++it;
    }
}

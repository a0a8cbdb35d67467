#include "ciapi/rendererbase.h"

#include "ciapi/bytesource.h"
#include "ciapi/enginedefaults.h"
#include "ciapi/freememory.h"
#include "ciapi/vrx/vrximage.h"

#include <cmath>
#include <stdexcept>

namespace CIAPI {

RendererBase::RendererBase()
{
    PropertyStore::Values v;
    defaults::fillEditDefaults(v, nullptr);
    v.ints[static_cast<int>(IntParam::ExportColorSpace)] = 4;
    m_props.assign(std::move(v));
}

RendererBase::~RendererBase()
{
    m_input.reset();
    m_keepAlive.reset();
    if (m_giveBackMemory)
        ReturnFreeMemory();
}

void RendererBase::setInputDataStream(const void* data, std::size_t length)
{
    if (!data || length == 0) {
        takeInput(nullptr, nullptr);
        return;
    }
    std::shared_ptr<const vrx::VrxImage> image;
    try {
        image = vrx::VrxImage::open(ByteSource::fromMemory(data, length));
    } catch (...) {
        takeInput(nullptr, nullptr);
        throw;
    }
    takeInput(std::move(image), nullptr);
}

void RendererBase::setInputDataStream(std::shared_ptr<std::istream> stream)
{
    if (!stream) {
        takeInput(nullptr, nullptr);
        return;
    }
    std::shared_ptr<const vrx::VrxImage> image;
    try {
        image = vrx::VrxImage::open(ByteSource::fromStream(stream));
    } catch (...) {
        takeInput(nullptr, nullptr);
        throw;
    }
    takeInput(std::move(image), stream);
}

void RendererBase::takeInput(std::shared_ptr<const vrx::VrxImage> input, std::shared_ptr<void> keepAlive)
{
    m_input = std::move(input);
    m_keepAlive = std::move(keepAlive);
    loadDefaults(true);
    m_transform = defaults::fileTransform(m_input.get());
    onInputChanged();
}

void RendererBase::loadDefaults(bool keepSessionSettings)
{
    PropertyStore::Values v = m_props.snapshot();
    PropertyStore::Values fresh;
    if (keepSessionSettings) {
        for (const auto& kv : v.ints)
            if (defaults::isSessionSetting(kv.first))
                fresh.ints.insert(kv);
        auto bg = v.floatArrays.find(static_cast<int>(FloatArrayParam::BackgroundColor));
        if (bg != v.floatArrays.end())
            fresh.floatArrays.insert(*bg);
    }
    fresh.ints[static_cast<int>(IntParam::UserRating)] = 0;
    defaults::fillFileFacts(fresh, m_input.get());
    defaults::fillEditDefaults(fresh, m_input.get());
    m_props.assign(std::move(fresh));
}

bool RendererBase::isCompatible() const
{
    return m_input && m_input->compatible();
}

std::int64_t RendererBase::getProperty(IntParam p) const
{
    return m_props.getInt(static_cast<int>(p));
}
float RendererBase::getProperty(FloatParam p) const
{
    return m_props.getFloat(static_cast<int>(p));
}
std::vector<std::uint32_t> RendererBase::getProperty(IntArrayParam p) const
{
    return m_props.getIntArray(static_cast<int>(p));
}
std::vector<float> RendererBase::getProperty(FloatArrayParam p) const
{
    return m_props.getFloatArray(static_cast<int>(p));
}

void RendererBase::setProperty(IntParam p, std::int64_t value)
{
    if (p == IntParam::Iso)
        throw std::runtime_error("Property is read-only");
    m_props.setInt(static_cast<int>(p), value);
    onPropertyChanged();
}

void RendererBase::setProperty(FloatParam p, float value)
{
    if (!std::isfinite(value))
        throw std::runtime_error("Property value must be finite");
    m_props.setFloat(static_cast<int>(p), value);
    onPropertyChanged();
}

void RendererBase::setProperty(IntArrayParam p, const std::vector<std::uint32_t>& value)
{
    m_props.setIntArray(static_cast<int>(p), value);
    onPropertyChanged();
}

void RendererBase::setProperty(FloatArrayParam p, const std::vector<float>& value)
{
    for (float f : value)
        if (!std::isfinite(f))
            throw std::runtime_error("Property value must be finite");
    m_props.setFloatArray(static_cast<int>(p), value);
    onPropertyChanged();
}

void RendererBase::reset(int)
{
    PropertyStore::Values v = m_props.snapshot();
    defaults::fillEditDefaults(v, m_input.get());
    m_props.assign(std::move(v));
    onPropertyChanged();
}

} // namespace CIAPI

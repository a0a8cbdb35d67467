#include "ciapi/propertyaccessor.h"

#include <algorithm>

#include "ciapi/bytesource.h"
#include "ciapi/enginedefaults.h"
#include "ciapi/vrx/hotpixelrecord.h"
#include "ciapi/vrx/vrximage.h"

#include <stdexcept>

namespace CIAPI {

namespace {
// A calibration record's camera identity is all an accessor reads from it.
bool readCalibration(const ByteSource& source, PropertyStore& props)
{
    const std::uint64_t size = source.size();
    if (size > (16u << 20))
        return false;
    // Its head first (magic and fixed fields): a raw file is never read whole here.
    const auto head = source.bytes(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, 64)));
    if (!vrx::HotPixelRecord::looksLikeRecord(head.data(), head.size()))
        return false;
    const auto bytes = source.bytes(0, static_cast<std::size_t>(size));
    if (!vrx::HotPixelRecord::looksLikeRecord(bytes.data(), bytes.size()))
        return false;
    const vrx::HotPixelRecord record = vrx::HotPixelRecord::decode(bytes.data(), bytes.size());
    props.clear();
    props.setIntArray(
        static_cast<int>(IntArrayParam::CameraUuid), { record.cameraUuid.begin(), record.cameraUuid.end() });
    return true;
}
} // namespace

PropertyAccessor::PropertyAccessor() = default;
PropertyAccessor::~PropertyAccessor() = default;

void PropertyAccessor::setInputDataStream(std::shared_ptr<std::istream> stream)
{
    takeInput(stream ? ByteSource::fromStream(stream) : nullptr);
}

void PropertyAccessor::setInputDataStream(const void* data, std::size_t length)
{
    takeInput(data && length ? ByteSource::fromMemory(data, length) : nullptr);
}

void PropertyAccessor::takeInput(const std::shared_ptr<ByteSource>& source)
{
    m_input.reset();
    m_props.clear();
    m_transform = Transform();
    if (!source)
        return;
    if (readCalibration(*source, m_props))
        return;
    m_input = vrx::VrxImage::open(source);
    PropertyStore::Values v;
    defaults::fillFileFacts(v, m_input.get());
    defaults::fillEditDefaults(v, m_input.get());
    m_props.assign(std::move(v));
    m_transform = defaults::fileTransform(m_input.get());
}

bool PropertyAccessor::isCompatible() const
{
    return m_input && m_input->compatible();
}

std::int64_t PropertyAccessor::getProperty(IntParam p) const
{
    return m_props.getInt(static_cast<int>(p));
}
float PropertyAccessor::getProperty(FloatParam p) const
{
    return m_props.getFloat(static_cast<int>(p));
}
std::vector<std::uint32_t> PropertyAccessor::getProperty(IntArrayParam p) const
{
    return m_props.getIntArray(static_cast<int>(p));
}
std::vector<float> PropertyAccessor::getProperty(FloatArrayParam p) const
{
    return m_props.getFloatArray(static_cast<int>(p));
}

} // namespace CIAPI

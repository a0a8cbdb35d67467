#pragma once

#include "ciapi/parameters.h"
#include "ciapi/propertystore.h"
#include "ciapi/transform.h"

#include <cstdint>
#include <istream>
#include <memory>
#include <vector>

namespace CIAPI {

class ByteSource;

namespace vrx {
class VrxImage;
}

// Reads a file's facts without preparing to render it: the metadata of a VRX file, or
// the camera identity of a calibration record ("hotpixel.rec"), which it also accepts.
class PropertyAccessor
{
public:
    PropertyAccessor();
    ~PropertyAccessor();

    // Reads the stream's facts; std::runtime_error when it is neither a readable VRX file
    // nor a calibration record. An empty pointer clears the accessor.
    void setInputDataStream(std::shared_ptr<std::istream> stream);
    void setInputDataStream(const void* data, std::size_t length);

    bool isCompatible() const;
    std::int64_t getProperty(IntParam p) const;
    float getProperty(FloatParam p) const;
    std::vector<std::uint32_t> getProperty(IntArrayParam p) const;
    std::vector<float> getProperty(FloatArrayParam p) const;
    // The file's transform from its orientation and aspect; unset for a calibration record.
    Transform transform() const { return m_transform; }

private:
    // Reads the facts of a raw file or of a calibration record; null lets go.
    void takeInput(const std::shared_ptr<ByteSource>& source);

    std::shared_ptr<const vrx::VrxImage> m_input;
    PropertyStore m_props;
    Transform m_transform;
};

} // namespace CIAPI

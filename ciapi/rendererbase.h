#pragma once

#include "ciapi/parameters.h"
#include "ciapi/propertystore.h"
#include "ciapi/transform.h"

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <mutex>
#include <vector>

namespace CIAPI {

namespace vrx {
class VrxImage;
}

// What every renderer shares: the input (one VRX file, optionally followed by its
// calibration record), the numbered parameters and the transform.
//
// Each object is used by one thread at a time; renders that run on engine threads read
// the input through input() (a shared, immutable handle) and parameters through
// properties().snapshot().
class RendererBase
{
public:
    virtual ~RendererBase();
    RendererBase(const RendererBase&) = delete;
    RendererBase& operator=(const RendererBase&) = delete;

    // Makes the bytes the input, without copying them: they must stay valid until the input
    // is replaced (or let go) or the object destroyed; once that call returns, no engine
    // thread reads them any more. An unreadable file throws std::runtime_error and leaves the
    // object without input. A null pointer or length 0 lets go of the input.
    void setInputDataStream(const void* data, std::size_t length);
    // The same over a stream, which is kept alive. An empty pointer lets go of the input.
    void setInputDataStream(std::shared_ptr<std::istream> stream);

    bool hasInput() const { return static_cast<bool>(m_input); }
    // The input can be rendered (false without input).
    bool isCompatible() const;

    std::int64_t getProperty(IntParam p) const;
    float getProperty(FloatParam p) const;
    std::vector<std::uint32_t> getProperty(IntArrayParam p) const;
    std::vector<float> getProperty(FloatArrayParam p) const;

    // Integer 0 (ISO) is read-only: setting it throws std::runtime_error. A float that is
    // not finite throws std::runtime_error.
    void setProperty(IntParam p, std::int64_t value);
    void setProperty(FloatParam p, float value);
    void setProperty(IntArrayParam p, const std::vector<std::uint32_t>& value);
    void setProperty(FloatArrayParam p, const std::vector<float>& value);

    // The picture's geometry; set from the file's orientation and aspect when an input is
    // made, unset without input.
    Transform& transform() { return m_transform; }
    const Transform& transform() const { return m_transform; }

    // Returns the edit parameters (tune values, depth of field, focus) to the input's
    // defaults. The rating (integer 8) and the session settings (integers 10 to 13 and
    // 19) are kept; the transform is not touched. `type` is a StateType.
    virtual void reset(int type);

    // The opened input, or null.
    std::shared_ptr<const vrx::VrxImage> input() const { return m_input; }
    PropertyStore& properties() { return m_props; }
    const PropertyStore& properties() const { return m_props; }

protected:
    RendererBase();

    // Called after the input changed (also when it was let go: input() is then null), on
    // the thread that set it, after the parameters and transform took the new file's values.
    virtual void onInputChanged() { }
    // Called after any setProperty.
    virtual void onPropertyChanged() { }

    // Fills the parameters that describe the input and the edit defaults.
    void loadDefaults(bool keepSessionSettings);

    // Once this renderer is gone, with its picture and the levels and planes made of it, what
    // they leave free in the allocator goes back to the system (an export's renderer: a large
    // picture would otherwise stay resident as free space). Renderers that only show pictures
    // do not pay for it on the thread that closes them.
    void giveBackMemoryWhenGone() { m_giveBackMemory = true; }

private:
    void takeInput(std::shared_ptr<const vrx::VrxImage> input, std::shared_ptr<void> keepAlive);

    std::shared_ptr<const vrx::VrxImage> m_input;
    std::shared_ptr<void> m_keepAlive; // the caller's stream, while it is the input
    bool m_giveBackMemory = false;
    PropertyStore m_props;
    Transform m_transform;
};

} // namespace CIAPI

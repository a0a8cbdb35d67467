#include "ciapi/statefileeditor.h"

#include "ciapi/codec/jpegcodec.h"
#include "ciapi/state/statecodec.h"
#include "ciapi/vrx/vrxtypes.h"

#include <algorithm>
#include <stdexcept>

namespace CIAPI {

namespace {
constexpr int kThumbnailSide = 512;
}

StateFileEditor::StateFileEditor()
    : m_state(std::make_unique<state::EngineState>())
{ }

StateFileEditor::StateFileEditor(std::istream& stream)
    : m_state(std::make_unique<state::EngineState>())
{
    auto result = state::StateCodec::read(stream);
    if (result.segments == 0 && result.tornTail)
        throw std::runtime_error("Not a state file");
    *m_state = std::move(result.state);
}

StateFileEditor::~StateFileEditor() = default;

StateFileEditor::StateFileEditor(const StateFileEditor& o)
    : m_state(std::make_unique<state::EngineState>(*o.m_state))
{ }

StateFileEditor& StateFileEditor::operator=(const StateFileEditor& o)
{
    *m_state = *o.m_state;
    return *this;
}

std::vector<std::uint32_t> StateFileEditor::imageID() const
{
    if (!m_state->imageId)
        return {};
    return { m_state->imageId->begin(), m_state->imageId->end() };
}

int StateFileEditor::depthType() const
{
    return m_state->depthType();
}
bool StateFileEditor::hasDepthEdits() const
{
    return m_state->hasDepthEdits();
}
int StateFileEditor::userRating() const
{
    return m_state->rating.value_or(0);
}
Transform StateFileEditor::transform() const
{
    return m_state->transform.value_or(Transform());
}
bool StateFileEditor::hasThumbnail() const
{
    return m_state->thumbnailJpeg && !m_state->thumbnailJpeg->empty();
}

Image StateFileEditor::getThumbnail() const
{
    if (!hasThumbnail())
        throw std::runtime_error("The state holds no thumbnail");
    const auto& jpeg = *m_state->thumbnailJpeg;
    // Checked before decoding: a few bytes of JPEG may claim any size.
    const auto info = codec::JpegCodec::readInfo(jpeg.data(), jpeg.size());
    if (info.width > vrx::limits::kMaxStateThumbnailSide || info.height > vrx::limits::kMaxStateThumbnailSide)
        throw std::runtime_error("The state's thumbnail is too large");
    // The engine writes thumbnails within 512 x 512; a larger one is decoded at a reduced scale.
    int num = 1;
    int denom = 1;
    if (std::max(info.width, info.height) > kThumbnailSide)
        codec::JpegCodec::chooseScale(info, kThumbnailSide / 2, &num, &denom);
    return codec::JpegCodec::decodeImage(jpeg.data(), jpeg.size(), num, denom);
}

void StateFileEditor::setUserRating(int rating)
{
    m_state->rating = rating;
}

void StateFileEditor::serialize(std::ostream& stream) const
{
    state::StateCodec::write(stream, *m_state);
}

} // namespace CIAPI

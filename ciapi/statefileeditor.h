#pragma once

#include "ciapi/image.h"
#include "ciapi/transform.h"

#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <vector>

namespace CIAPI {

namespace state {
struct EngineState;
}

// Reads the facts of a state stream (".vrxs") without a renderer, and writes rating
// records to append to one.
class StateFileEditor
{
public:
    // An empty editor: no facts; setUserRating then serialize writes one rating record.
    StateFileEditor();
    // Reads every intact segment of the stream (the last value of each kind wins; a torn
    // or corrupt tail is ignored). A stream with bytes but no intact segment throws
    // std::runtime_error; an empty stream gives an empty editor.
    explicit StateFileEditor(std::istream& stream);
    ~StateFileEditor();
    StateFileEditor(const StateFileEditor&);
    StateFileEditor& operator=(const StateFileEditor&);

    // The picture UUID words, empty when the state names none.
    std::vector<std::uint32_t> imageID() const;
    // 0 no depth, 1 factory depth, 2 computed depth.
    int depthType() const;
    bool hasDepthEdits() const;
    int userRating() const; // 0 when the state holds none
    Transform transform() const; // unset when the state holds none
    bool hasThumbnail() const;
    // The saved thumbnail as an RGBA image; std::runtime_error when there is none or it
    // cannot be decoded.
    Image getThumbnail() const;

    void setUserRating(int rating);
    // Writes the facts this editor holds as segments (for an empty editor given a rating:
    // one rating record of 16 bytes).
    void serialize(std::ostream& stream) const;

    const state::EngineState& state() const { return *m_state; }

private:
    std::unique_ptr<state::EngineState> m_state;
};

} // namespace CIAPI

#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ciapi/render/plane.h"

namespace CIAPI::depth {

using render::PlaneF;
using render::PlaneU8;
using render::Rect;

// One depth edit: the values of a rectangle after the edit (and, kept for undo, before).
struct DepthPatch
{
    Rect rect;
    std::vector<float> after;
    std::vector<float> before;
};

// The depth of one picture: the computed map, the edits on top of it as a stack with
// undo and redo, the face-matting switch and the quick-select mask. Not thread-safe;
// its owner locks.
class DepthDocument
{
public:
    bool hasDepth() const { return !m_current.empty(); }
    int width() const { return m_current.width(); }
    int height() const { return m_current.height(); }

    // A freshly computed (or loaded) map; drops every edit.
    void setBase(PlaneF base);
    void clear();
    const PlaneF& base() const { return m_base; }

    // Depth with every applied edit.
    const PlaneF& current() const { return m_current; }

    // Changes with every change of the map, so derived data knows when to refresh.
    uint64_t revision() const { return m_revision; }

    // Applies an edit (its `before` is filled here) and drops the redo part of the stack.
    void push(DepthPatch patch);
    bool undo();
    bool redo();
    // Back to the computed map, no edits at all.
    void resetEdits();
    bool hasEdits() const { return m_applied > 0; }
    size_t appliedCount() const { return m_applied; }
    size_t editCount() const { return m_patches.size(); }

    bool faceMatting() const { return m_faceMatting; }
    void setFaceMatting(bool on);

    // Bilinear depth at normalised (u, v) in [0, 1).
    float depthAt(float u, float v) const;
    // Lowest and highest depth of the current map.
    std::pair<float, float> range() const;

    // Quick-select mask at map resolution (empty until strokes were added).
    PlaneU8& selection() { return m_selection; }
    const PlaneU8& selection() const { return m_selection; }
    void clearSelection();
    bool selectionEmpty() const;
    uint64_t selectionRevision() const { return m_selectionRevision; }
    void touchSelection();

    // The edit stack as bytes (patches, applied count, face-matting switch), read back over
    // the same base map by restoreEdits. Throws std::runtime_error on damaged input.
    std::vector<uint8_t> saveEdits() const;
    void restoreEdits(const uint8_t* data, size_t size);

    // The base map as bytes (width, height, floats) and back.
    std::vector<uint8_t> saveBase() const;
    static PlaneF loadBase(const uint8_t* data, size_t size);

private:
    void apply(const Rect& r, const std::vector<float>& values);

    PlaneF m_base;
    PlaneF m_current;
    PlaneU8 m_selection;
    std::vector<DepthPatch> m_patches;
    size_t m_applied = 0;
    bool m_faceMatting = false;
    uint64_t m_revision = 0;
    uint64_t m_selectionRevision = 0;
};

} // namespace CIAPI::depth

#pragma once

#include "engine/streamreader.h"

#include <QFileInfo>

namespace CIAPI {
class DepthEditor;
class Renderer;
} // namespace CIAPI
class ImageProperties;

// A full renderer, with a depth editor for the editing kind; the batch edits use it.
class StreamEditor : public StreamReader
{
public:
    explicit StreamEditor(bool withDepth);
    ~StreamEditor() override;

    bool withDepth() const { return m_withDepth; }
    CIAPI::RendererBase& renderer() override;
    CIAPI::Renderer& fullRenderer() { return *m_renderer; }
    std::shared_ptr<CIAPI::DepthEditor> depthEditor() const { return m_depthEditor; }

    void setOutputUpdateListener(OutputListener listener) override;
    // Renders the smallest level synchronously.
    void render() override;

    // Reads a state file; with `revert` the picture returns to its unedited rendering
    // and keeps its rating.
    virtual void deserialize(const QFileInfo& stateFile, bool revert);
    // Fills `properties` from the renderer, as their original values too; the geometry
    // only `withTransform`.
    virtual void loadProperties(ImageProperties& properties, bool withTransform);
    // Pushes every tune, tone and geometry value of `properties` into the renderer. The
    // values it replaces go to `undo` (as a patch of all of them) when given. True when
    // the renderer changed.
    virtual bool applyProperties(const ImageProperties& properties, ImageProperties* undo);
    // Pushes the patched values of `patch` only; the replaced ones go to `undo`.
    virtual bool applyPatch(ImageProperties& patch, ImageProperties* undo);
    // Writes the renderer's state: appended, or as a new file that replaces the old one
    // only once it is complete. Throws std::runtime_error when it cannot be written.
    virtual void serialize(const QFileInfo& stateFile, bool append, bool full);

private:
    bool m_withDepth;
    std::shared_ptr<CIAPI::Renderer> m_renderer;
    std::shared_ptr<CIAPI::DepthEditor> m_depthEditor;
};

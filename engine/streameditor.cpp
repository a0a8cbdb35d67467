#include "engine/streameditor.h"

#include "ciapi/deptheditor.h"
#include "ciapi/renderer.h"
#include "engine/enginestreams.h"
#include "engine/imageproperties.h"
#include "engine/pixelhelpers.h"
#include "engine/statefile.h"
#include "engine/transformhelpers.h"

#include <fstream>
#include <stdexcept>

StreamEditor::StreamEditor(bool withDepth)
    : m_withDepth(withDepth)
    , m_renderer(CIAPI::Renderer::Create(withDepth ? 3 : 0))
{
    if (withDepth)
        m_depthEditor = std::make_shared<CIAPI::DepthEditor>(*m_renderer);
}

StreamEditor::~StreamEditor()
{
    // The depth editor, then the renderer, then (with the base) the source.
    m_depthEditor.reset();
    m_renderer.reset();
}

CIAPI::RendererBase& StreamEditor::renderer()
{
    return *m_renderer;
}

void StreamEditor::setOutputUpdateListener(OutputListener listener)
{
    m_renderer->setOutputUpdateListener(std::move(listener));
}

void StreamEditor::render()
{
    CIAPI::ImagePyramid output = m_renderer->outputBuffer();
    if (output.levelCount() < 1)
        throw std::runtime_error("Bad level request");
    const int level = output.levelCount() - 1;
    m_renderer->render(level, imageRect(output[level]), 2, true);
}

void StreamEditor::deserialize(const QFileInfo& stateFile, bool revert)
{
    const auto opened = openFileStream(stateFile.absoluteFilePath());
    std::istream& stream = *opened;
    const auto fitFrame = [this] {
        fitTransformToPicture(
            m_renderer->transform(), float(m_renderer->getProperty(CIAPI::IntParam::FocalLength)));
    };
    if (!revert) {
        m_renderer->deserialize(stream, CIAPI::StateProfile);
        fitFrame();
        return;
    }
    m_renderer->deserialize(stream, CIAPI::StateSettings);
    const std::int64_t rating = m_renderer->getProperty(CIAPI::IntParam::UserRating);
    m_renderer->reset(0);
    m_renderer->transform().reset(int(m_renderer->getProperty(CIAPI::IntParam::Orientation)));
    fitFrame();
    m_renderer->setProperty(CIAPI::IntParam::UserRating, rating);
}

void StreamEditor::loadProperties(ImageProperties& properties, bool withTransform)
{
    const CIAPI::Transform kept = properties.transformProperties();
    const CIAPI::Transform keptOriginal = properties.transform().original;
    properties.loadFromRenderer(*m_renderer, true);
    if (!withTransform) {
        properties.setTransform(keptOriginal, true);
        properties.setTransform(kept, false);
    }
}

bool StreamEditor::applyProperties(const ImageProperties& properties, ImageProperties* undo)
{
    if (!properties.differsFromRenderer(*m_renderer))
        return false;
    if (undo) {
        undo->loadFromRenderer(*m_renderer, false);
        for (const auto& entry : undo->tuneTone())
            undo->addToPatch(entry);
        undo->markCustomPatch(ImageProperties::RotationAndMirror, true);
        undo->markCustomPatch(ImageProperties::Crop, true);
    }
    properties.applyToRenderer(*m_renderer);
    return true;
}

bool StreamEditor::applyPatch(ImageProperties& patch, ImageProperties* undo)
{
    return patch.applyPatchToRenderer(*m_renderer, undo);
}

void StreamEditor::serialize(const QFileInfo& stateFile, bool append, bool full)
{
    const CIAPI::StateType type
        = full ? CIAPI::StateSettings : (m_withDepth ? CIAPI::StateFull : CIAPI::StateSettings);
    const QString path = stateFile.absoluteFilePath();
    if (append && !full) {
        StateFile::appendTo(path, [&](std::ostream& out) { m_renderer->serialize(out, type); });
        return;
    }
    // A full write replaces the file whole: the new state is written beside it and moved
    // into place, so a failure or crash leaves the old state as it was.
    StateFile::replace(path, [&](std::ostream& out) { m_renderer->serialize(out, type); });
}

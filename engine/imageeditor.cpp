#include "engine/imageeditor.h"
#include "engine/logging.h"

#include "ciapi/deptheditor.h"
#include "ciapi/renderer.h"

#include <QDebug>

#include <stdexcept>

namespace {
constexpr int kEditorKind = 12;
}

ImageEditor::ImageEditor(QObject* parent)
    : ImageViewer(parent)
{
    m_depthEditor = std::make_unique<CIAPI::DepthEditor>(renderer());
}

ImageEditor::~ImageEditor()
{
    // A depth computation still under way announces its depth from an engine thread
    // through this object's overrides: it must not meet an editor being destroyed.
    silenceRenderer();
    // The depth editor refers to the renderer, which the viewer part destroys later.
    QMutexLocker lock(&m_editorMutex);
    m_depthEditor.reset();
}

void ImageEditor::kind(int& kind) const
{
    kind = kEditorKind;
}

void ImageEditor::depthForDofAvailable()
{
    qCDebug(lcEngine) << "depthForDOFAvailableSignal";
    emit depthForDOFAvailableSignal();
}

void ImageEditor::depthForEditingAvailable()
{
    qCDebug(lcEngine) << "depthForEditingAvailableSignal";
    emit depthForEditingAvailableSignal();
}

void ImageEditor::replaceRenderer(std::shared_ptr<CIAPI::Renderer> renderer)
{
    QMutexLocker lock(&m_editorMutex);
    m_depthEditor.reset();
    ImageViewer::replaceRenderer(std::move(renderer));
    m_depthEditor = std::make_unique<CIAPI::DepthEditor>(this->renderer());
}

void ImageEditor::rateWhenOpen(const QUrl& url, int rating)
{
    m_ratingWhenOpenUrl = url;
    m_ratingWhenOpen = rating;
}

void ImageEditor::openFinished(const QUrl& url)
{
    const QUrl rated = m_ratingWhenOpenUrl;
    m_ratingWhenOpenUrl = QUrl();
    if (!rated.isEmpty() && rated == url)
        setRating(m_ratingWhenOpen);
}

bool ImageEditor::applyJob(std::function<void(CIAPI::DepthEditor&)> edit)
{
    if (!edit)
        return false;
    bool changed = false;
    const bool applied = applyJobIfChanged(
        [&edit](CIAPI::DepthEditor& editor) {
            edit(editor);
            return true;
        },
        changed);
    // What the edit holds goes now, not with the caller's copy.
    edit = nullptr;
    return applied;
}

bool ImageEditor::applyJobIfChanged(const std::function<bool(CIAPI::DepthEditor&)>& edit, bool& changed)
{
    changed = false;
    if (!edit)
        return false;
    try {
        renderer().cancelRenderRequests();
        {
            QMutexLocker lock(&m_editorMutex);
            if (!m_depthEditor)
                return false;
            changed = edit(*m_depthEditor);
        }
        if (changed)
            m_contentDirty = true;
        return true;
    } catch (...) {
        changed = false;
        return false;
    }
}

void ImageEditor::readDepth(const std::function<void(CIAPI::DepthEditor&)>& read)
{
    QMutexLocker lock(&m_editorMutex);
    if (!m_depthEditor)
        throw std::runtime_error("No depth editor");
    read(*m_depthEditor);
}

int ImageEditor::rating() const
{
    return int(renderer().getProperty(CIAPI::IntParam::UserRating));
}

bool ImageEditor::setRating(int r)
{
    if (r == rating())
        return false;
    renderer().setProperty(CIAPI::IntParam::UserRating, r);
    m_ratingDirty = true; // a change: the editor's next save carries it
    emit ratingChanged();
    return true;
}

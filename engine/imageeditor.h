#pragma once

#include "engine/imageviewer.h"

#include <QMutex>

#include <functional>
#include <memory>

namespace CIAPI {
class DepthEditor;
}

// A viewer whose renderer also edits depth, with the picture's star rating. The image
// service pools two of them for the editor canvas, the exports and the batch work.
class ImageEditor : public ImageViewer
{
    Q_OBJECT
    Q_PROPERTY(int rating READ rating NOTIFY ratingChanged)

public:
    explicit ImageEditor(QObject* parent = nullptr);
    ~ImageEditor() override;

    void kind(int& kind) const override;

    void depthForDofAvailable() override;
    void depthForEditingAvailable() override;

    // Runs a depth edit on the current depth editor (looked up at each call, so an edit
    // never reaches the editor of a replaced renderer). False when the function is empty
    // or the edit throws.
    bool applyJob(std::function<void(CIAPI::DepthEditor&)> edit);
    // As applyJob for an edit that may find nothing to do (an undo or redo at an end of the
    // history): the picture counts as changed only when `edit` returns true, which
    // `changed` tells. False when the function is empty or throws.
    bool applyJobIfChanged(const std::function<bool(CIAPI::DepthEditor&)>& edit, bool& changed);
    // Reads from the current depth editor without changing the picture: renders go on and
    // nothing is marked changed. The reader's exceptions (std::runtime_error when there is
    // no depth) reach the caller.
    void readDepth(const std::function<void(CIAPI::DepthEditor&)>& read);
    // The picture's depth-edits flag (read from its state file when it was opened).
    void setHasDepthEdits(bool edited) { m_hasDepthEdits = edited; }

    int rating() const;
    // False (and no signal) when the rating is already r.
    bool setRating(int r);
    // A rating given to the picture being opened in the background (`url` as it is opened):
    // set once it is open, over what its state file said when it was read.
    void rateWhenOpen(const QUrl& url, int rating);

protected:
    // The depth editor is rebuilt on the new renderer.
    void replaceRenderer(std::shared_ptr<CIAPI::Renderer> renderer) override;
    void openFinished(const QUrl& url) override;

signals:
    void depthForDOFAvailableSignal();
    void depthForEditingAvailableSignal();
    void ratingChanged();

private:
    QMutex m_editorMutex; // guards m_depthEditor against its replacement
    std::unique_ptr<CIAPI::DepthEditor> m_depthEditor;
    QUrl m_ratingWhenOpenUrl;
    int m_ratingWhenOpen = 0;
};

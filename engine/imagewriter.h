#pragma once

#include "ciapi/image.h"
#include "ciapi/parameters.h"
#include "engine/fileperm.h"
#include "engine/statefile.h"

#include <QDateTime>
#include <QMutex>
#include <QSize>
#include <QUrl>
#include <QWaitCondition>

#include <functional>
#include <memory>
#include <vector>

namespace CIAPI {
class Renderer;
namespace vrx {
class VrxImage;
}
} // namespace CIAPI
class MultiMemStream;
class StreamPart;

// The part of a render object that the export queue and the load code drive: one engine
// renderer for one open picture, its listeners, the open file's token and source, and the
// bookkeeping of its state file.
class ImageWriter
{
public:
    using OutputListener = std::function<void(const CIAPI::ImagePyramid&, const CIAPI::ROI&, int)>;
    using StateChangeListener = std::function<void(CIAPI::StateChange, void*)>;
    using ProgressListener = std::function<void(int)>;

    virtual ~ImageWriter();

    // Refreshes the cached facts of the open picture from the renderer.
    virtual void outputReady() = 0;
    // Reports that the file cannot be read.
    virtual void fileInvalid(QUrl url) = 0;
    virtual void depthForDofAvailable() = 0;
    virtual void depthForEditingAvailable() = 0;
    // Announces what changed after a state-file write.
    virtual void metadataReady() = 0;
    // Replaces the renderer by a fresh one and reinstalls the listeners.
    virtual void createRenderer() = 0;

    CIAPI::Renderer& renderer() const { return *m_renderer; }
    // The renderer as a handle that keeps it alive (on the thread that uses this writer).
    std::shared_ptr<CIAPI::Renderer> rendererHandle() const { return m_renderer; }
    // The open file (empty when closed); safe from any thread.
    QUrl currentUrl() const;
    bool isLoaded() const;

    void setFilePerm(FilePerm* filePerm) { m_filePerm = filePerm; }
    FilePerm* filePerm() const { return m_filePerm; }

    // Cached facts of the open picture.
    QSize outputSize() const { return m_outputSize; }
    float exposureTime() const { return m_exposureTime; }
    float evOffset() const { return m_evOffset; }
    qint64 iso() const { return m_iso; }
    qint64 focalLength() const { return m_focalLength; }
    QDateTime captureTime() const { return m_captureTime; }
    float depthOfField() const { return m_depthOfField; }

    // The state file as last read or written: null time and size -1 when there was none.
    QDateTime stateTime() const;
    qint64 stateSize() const { return m_stateStamp.size; }
    // Changes not yet saved, also those of a save still under way.
    bool contentDirty() const { return m_contentDirty || m_contentSaving; }
    bool ratingDirty() const { return m_ratingDirty || m_ratingSaving; }
    bool hasDepthEdits() const { return m_hasDepthEdits; }
    // Whether the open picture's state file already holds its computed depth.
    bool hasSavedDepth() const { return m_hasSavedDepth; }
    // Asks the next save to store the computed depth when the state file lacks it (the
    // background render's purpose); opening alone never writes.
    void keepComputedDepth() { m_ratingDirty = m_ratingDirty || !m_hasSavedDepth; }

protected:
    ImageWriter();
    void refreshFacts();
    void setUrl(const QUrl& url);
    // The engine reads a mapped input in place, also from render work that is still
    // running after the input was replaced. A released input's source stays mapped until
    // no engine work holds that input any more.
    void retireInput(std::shared_ptr<const CIAPI::vrx::VrxImage> input, std::shared_ptr<StreamPart> source,
        std::shared_ptr<MultiMemStream> stream);
    void purgeRetired();

    OutputListener m_outputListener;
    StateChangeListener m_stateChangeListener;
    ProgressListener m_progressListener;
    FilePerm* m_filePerm = nullptr;
    FileToken m_readToken;
    QUrl m_url; // written under m_openMutex; read by engine threads through it
    StateStamp m_stateStamp; // the state file as last read or written (none: size -1)
    std::shared_ptr<StreamPart> m_source;
    std::shared_ptr<MultiMemStream> m_inputStream;
    bool m_contentDirty = false;
    bool m_ratingDirty = false;
    // Changes handed to a save that runs on a worker, until its result is taken.
    bool m_contentSaving = false;
    bool m_ratingSaving = false;
    std::shared_ptr<CIAPI::Renderer> m_renderer;
    bool m_loaded = false; // written under m_openMutex
    bool m_hasDepthEdits = false;
    bool m_hasSavedDepth = false;
    QWaitCondition m_wakeup;
    mutable QMutex m_openMutex;
    // The output buffer of the open picture: output of any other pyramid is stale.
    CIAPI::ImagePyramid m_currentPyramid; // written under m_openMutex

    struct Retired
    {
        std::shared_ptr<const CIAPI::vrx::VrxImage> input;
        std::shared_ptr<StreamPart> source;
        std::shared_ptr<MultiMemStream> stream;
    };
    std::vector<Retired> m_retired;

    QSize m_outputSize;
    float m_exposureTime = 0;
    float m_evOffset = 0;
    qint64 m_iso = 0;
    qint64 m_focalLength = 0;
    QDateTime m_captureTime;
    float m_depthOfField = 0;
};

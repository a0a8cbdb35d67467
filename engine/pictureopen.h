#pragma once

#include "engine/fileperm.h"
#include "engine/statefile.h"

#include <QHash>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

namespace CIAPI {
class Renderer;
}
class MultiMemStream;
class RendererValues;
class StreamPart;

// The part of opening a picture that reads files: a reader's token of the raw file, the
// raw file (with its camera's calibration) as a renderer's input, tuned, and the picture's
// state file read into that renderer under the state file's lock. It works only on what
// it holds, so it may run on any thread; a viewer then takes the renderer and the rest.
// What is not taken is let go with this object (the renderer before the bytes it reads).
class PictureOpen
{
public:
    using Calibration = QHash<int, std::shared_ptr<StreamPart>>;
    // The calibration of the camera that took the picture; it may read the raw file.
    using CalibrationLookup = std::function<Calibration(StreamPart&)>;
    // Asked while the open waits for the raw file's token or the state file's lock: true
    // ends the wait.
    using StopCheck = std::function<bool()>;

    enum class Outcome {
        Opened, // with its saved state, or without it when the state cannot be read
        Unreadable, // the raw file cannot be read or rendered; reason() says why
        FileBusy, // a writer holds the raw file (only with a bounded wait)
        StateBusy, // a writer holds the state file's lock (only with a bounded wait)
        Stopped, // the stop check ended a wait
    };

    // How often a wait that may be stopped looks at its stop check.
    static constexpr int kPollMs = 50;
    // The longest the open waits for the state file's lock to write unsaved edits.
    static constexpr int kUnsavedLockWaitMs = 2000;

    PictureOpen(const QUrl& url, std::shared_ptr<StreamPart> source, int tuningType, int channelOrder);
    // Makes the source where the picture is opened (resolving its path asks the file
    // system).
    using SourceMaker = std::function<std::shared_ptr<StreamPart>()>;
    PictureOpen(const QUrl& url, SourceMaker makeSource, int tuningType, int channelOrder);
    ~PictureOpen();
    PictureOpen(const PictureOpen&) = delete;
    PictureOpen& operator=(const PictureOpen&) = delete;

    // Opens the picture into `renderer` (a fresh one when null; the state file may need a
    // fresh one anyway: see renderer()). With a stop check the token and the lock are
    // waited for until it says stop; without, the token as the lock registry allows on
    // this thread and the lock for `lockWaitMs` at most (no limit when negative).
    Outcome run(FilePerm* filePerm, const CalibrationLookup& calibration,
        std::shared_ptr<CIAPI::Renderer> renderer, int lockWaitMs, const StopCheck& stop = {});

    QUrl url() const { return m_url; }
    QString reason() const { return m_reason; }
    // The renderer with the picture as its input and its state applied.
    const std::shared_ptr<CIAPI::Renderer>& renderer() const { return m_renderer; }
    std::shared_ptr<CIAPI::Renderer> takeRenderer() { return std::move(m_renderer); }
    const std::shared_ptr<StreamPart>& source() const { return m_source; }
    std::shared_ptr<MultiMemStream> takeInputStream() { return std::move(m_inputStream); }
    FileToken takeToken() { return std::move(m_token); }
    // The renderer's values before the state was applied: the picture's own.
    const RendererValues& originals() const { return *m_originals; }
    // The raw file's fault count when it became the input.
    int readFaults() const { return m_readFaults; }
    // The state file as read (none: size -1).
    StateStamp stateStamp() const { return m_stateStamp; }
    // The state file as it was when it could not be read whole (none when it was).
    StateStamp unreadableState() const { return m_unreadableState; }
    bool hasDepthEdits() const { return m_hasDepthEdits; }
    bool hasSavedDepth() const { return m_hasSavedDepth; }

    // Edits of the picture that could not be saved when it was last closed. The open writes
    // them to the state file first (unless the file changed since they were made, which
    // drops them); when the disk still refuses them, the picture opens with them instead
    // of the file's state, and they are to be saved again (adoptedUnsaved()).
    void setUnsaved(std::shared_ptr<const UnsavedState> unsaved) { m_unsaved = std::move(unsaved); }
    bool adoptedUnsaved() const { return m_adoptedUnsaved; }

private:
    // Writes the unsaved edits, makes them the state to read, or drops them.
    void settleUnsaved(const QString& statePath);
    // The raw file becomes the renderer's input, tuned; throws when it cannot be rendered.
    void attach();
    void fitFrameToPicture();
    // False when the lock was not had (nothing read). Throws what the engine throws.
    bool readState(const QString& statePath, bool settingsOnly, int lockWaitMs, const StopCheck& stop);

    QUrl m_url;
    int m_tuningType = 0;
    int m_channelOrder = 0;
    QString m_reason;
    Calibration m_calibration;
    // Let go in the reverse order: the renderer first, then what it reads, then the token.
    FileToken m_token;
    std::shared_ptr<StreamPart> m_source;
    SourceMaker m_makeSource; // when no source was given
    std::shared_ptr<MultiMemStream> m_inputStream;
    std::shared_ptr<CIAPI::Renderer> m_renderer;
    std::unique_ptr<RendererValues> m_originals;
    int m_readFaults = 0;
    StateStamp m_stateStamp;
    StateStamp m_unreadableState;
    bool m_hasDepthEdits = false;
    bool m_hasSavedDepth = false;
    std::shared_ptr<const UnsavedState> m_unsaved;
    bool m_adoptedUnsaved = false;
};

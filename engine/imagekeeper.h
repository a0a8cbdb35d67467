#pragma once

#include "engine/imagerouter.h"
#include "engine/streamreader.h"
#include "engine/streamsource.h"
#include "engine/vrxmetadata.h"

#include <QMutex>

#include <functional>
#include <memory>

// The router the image service keeps per file for thumbnails and gallery images: it
// keeps the first output it receives and shares one StreamSource of the file.
class ImageKeeper : public ImageRouter
{
    Q_OBJECT
public:
    explicit ImageKeeper(const QUrl& url, QObject* parent = nullptr);
    ~ImageKeeper() override;

    // A keeper whose last reference may drop on any thread: it is then deleted on its own.
    static std::shared_ptr<ImageKeeper> create(const QUrl& url);

    QUrl url() const { return m_url; }
    void kind(int& kind) const override;

    // A copy of the kept output (safe from any thread).
    VrxMessage kept() const;
    bool hasOutput() const;
    bool loading() const;
    void setLoading(bool loading);

    // Forgets the kept output, so the next output is kept; safe from the engine's threads.
    void clearPyramid();
    // Sends the kept output to every listener.
    void resendOutput();

    // The file's shared source: the live one, or a new one remembered weakly. Making one
    // resolves the file's path, which asks the file system: never on the GUI thread.
    std::shared_ptr<StreamSource> streamSource();
    // Runs where a new source is made, before its path is resolved (tests hold it there).
    // Set before the keeper is shared.
    void setSourceProbe(std::function<void(const QUrl&)> probe)
    {
        QMutexLocker lock(&m_mutex);
        m_sourceProbe = std::move(probe);
    }
    // Forgets the shared source so the next user maps the file anew (after the file was
    // replaced); readers still holding the old source keep the bytes they mapped.
    void dropSource();

    void onListenerCountChanged(int count) override;

    // The stamp (see GalleryRows) taken when the file last changed: output of a read begun
    // before is older than the file. GUI thread only.
    quint64 changedAt() const { return m_changedAt; }
    void setChangedAt(quint64 stamp) { m_changedAt = stamp; }

signals:
    void notifyImageMetadataSignal(VrxMetadata metadata);
    void notifyLoadingDoneSignal(std::shared_ptr<StreamReader> reader);
    // The last listener has gone.
    void unheard();

public slots:
    void onImageOutputSlot(VrxMessage message) override;
    void onLoadingCompletedSlot(std::shared_ptr<StreamReader> reader);

private:
    const QUrl m_url;
    mutable QMutex m_mutex;
    VrxMessage m_kept;
    std::weak_ptr<StreamSource> m_source;
    std::function<void(const QUrl&)> m_sourceProbe;
    bool m_loading = false;
    bool m_hasOutput = false;
    quint64 m_changedAt = 0;
};

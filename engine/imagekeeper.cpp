#include "engine/imagekeeper.h"

#include "engine/ownthreaddeleter.h"
#include "engine/sentinels.h"

ImageKeeper::ImageKeeper(const QUrl& url, QObject* parent)
    : ImageRouter(parent)
    , m_url(url)
{
    m_kept.location = url;
    m_kept.kind = VrxMessage::KindNone;
    m_kept.pyramid = emptyPyramid();
    m_kept.level = -1;
    connect(this, &ImageKeeper::notifyLoadingDoneSignal, this, &ImageKeeper::onLoadingCompletedSlot);
}

ImageKeeper::~ImageKeeper() = default;

std::shared_ptr<ImageKeeper> ImageKeeper::create(const QUrl& url)
{
    return std::shared_ptr<ImageKeeper>(new ImageKeeper(url), OwnThreadDeleter());
}

void ImageKeeper::kind(int& kind) const
{
    QMutexLocker lock(&m_mutex);
    kind = m_kept.kind;
}

VrxMessage ImageKeeper::kept() const
{
    QMutexLocker lock(&m_mutex);
    return m_kept;
}

bool ImageKeeper::hasOutput() const
{
    QMutexLocker lock(&m_mutex);
    return m_hasOutput;
}

bool ImageKeeper::loading() const
{
    QMutexLocker lock(&m_mutex);
    return m_loading;
}

void ImageKeeper::setLoading(bool loading)
{
    QMutexLocker lock(&m_mutex);
    m_loading = loading;
}

void ImageKeeper::clearPyramid()
{
    QMutexLocker lock(&m_mutex);
    m_kept.pyramid = emptyPyramid();
    m_hasOutput = false;
}

void ImageKeeper::resendOutput()
{
    sendOutput(kept());
}

void ImageKeeper::onImageOutputSlot(VrxMessage message)
{
    VrxMessage out;
    {
        QMutexLocker lock(&m_mutex);
        if (!m_hasOutput) {
            m_kept = message;
            m_loading = false;
            m_hasOutput = true;
        }
        out = m_kept;
    }
    sendOutput(out);
}

void ImageKeeper::onLoadingCompletedSlot(std::shared_ptr<StreamReader> reader)
{
    if (reader)
        reader->setOutputUpdateListener([](const CIAPI::ImagePyramid&, const CIAPI::ROI&, int) {});
}

void ImageKeeper::onListenerCountChanged(int count)
{
    if (count == 0)
        emit unheard();
}

std::shared_ptr<StreamSource> ImageKeeper::streamSource()
{
    std::function<void(const QUrl&)> probe;
    {
        QMutexLocker lock(&m_mutex);
        if (std::shared_ptr<StreamSource> source = m_source.lock())
            return source;
        probe = m_sourceProbe;
    }
    // Made outside the lock: resolving the file's path asks the disk, which may hang, and
    // the window takes this lock to ask whether the picture is loading.
    if (probe)
        probe(m_url);
    auto made = std::make_shared<StreamSource>(m_url);
    QMutexLocker lock(&m_mutex);
    // One source per file: one made meanwhile on another thread is the one.
    if (std::shared_ptr<StreamSource> source = m_source.lock())
        return source;
    m_source = made;
    return made;
}

void ImageKeeper::dropSource()
{
    QMutexLocker lock(&m_mutex);
    m_source.reset();
}

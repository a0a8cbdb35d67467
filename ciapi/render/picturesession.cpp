#include "ciapi/render/picturesession.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "ciapi/depth/depthtools.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/vrx/focalsize.h"
#include "ciapi/vrx/vrximage.h"

namespace CIAPI::render {

namespace {

// Reads of inputs this thread is inside of, by session (nested reads are not made, but a
// thread must never wait for itself).
thread_local std::vector<const PictureSession*> t_reading;

// Raw frames decoded at the same time.
constexpr int kFramesAtOnce = 2;

} // namespace

// Admits one read of the input's bytes, or throws once the input was let go.
class PictureSession::InputRead
{
public:
    explicit InputRead(PictureSession& s)
        : m_s(s)
    {
        std::lock_guard<std::mutex> lock(m_s.m_readMutex);
        if (m_s.m_released)
            throw std::runtime_error("The input was let go");
        ++m_s.m_reads;
        t_reading.push_back(&m_s);
    }
    ~InputRead()
    {
        t_reading.erase(std::find(t_reading.rbegin(), t_reading.rend(), &m_s).base() - 1);
        std::lock_guard<std::mutex> lock(m_s.m_readMutex);
        if (--m_s.m_reads == 0)
            m_s.m_readsDone.notify_all();
    }
    InputRead(const InputRead&) = delete;
    InputRead& operator=(const InputRead&) = delete;

private:
    PictureSession& m_s;
};

void PictureSession::releaseInput()
{
    const int own = int(std::count(t_reading.begin(), t_reading.end(), this));
    std::unique_lock<std::mutex> lock(m_readMutex);
    m_released = true;
    m_readsDone.wait(lock, [&] { return m_reads <= own; });
}

PictureSession::PictureSession(std::shared_ptr<const vrx::VrxImage> image)
    : m_image(std::move(image))
{
    if (!m_image || !m_image->compatible())
        throw std::runtime_error("The picture cannot be rendered");
    const Point<int> size = vrx::cropSizeForFocalLength(float(m_image->metadata().focalLength));
    const int levels = ImagePyramid::LevelCountFor(size.x, size.y);
    for (int i = 0; i < levels; ++i)
        m_sizes.push_back(ImagePyramid::LevelSize(size.x, size.y, i));
    m_depthLevel = levels - 1;
    for (int i = 0; i < levels; ++i)
        if (m_sizes[size_t(i)].x <= 1024 && m_sizes[size_t(i)].y <= 1024) {
            m_depthLevel = i;
            break;
        }
    const vrx::ModuleInfo& mod = m_image->module(m_image->referenceModule());
    std::copy(mod.colorMatrix.begin(), mod.colorMatrix.end(), m_cameraToSrgb.begin());
    for (int i = 0; i < 4; ++i)
        m_cfa[size_t(i)] = vrx::cfaColor(mod.cfa, i & 1, i >> 1);
    m_levels.resize(size_t(levels));
    for (int i = 0; i < levels; ++i)
        m_levelMutex.push_back(std::make_unique<std::mutex>());
}

ImagePyramid PictureSession::pyramid(bool bgra)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pyramid.isNull()) {
        ImagePyramid p = ImagePyramid::Create(levelCount());
        for (int i = 0; i < levelCount(); ++i)
            p[i] = Image::Create(
                m_sizes[size_t(i)].x, m_sizes[size_t(i)].y, bgra ? PixelFormatBGRA8 : PixelFormatRGBA8);
        m_pyramid = p;
    }
    return m_pyramid;
}

std::shared_ptr<const MosaicAccumulator> PictureSession::framesLocked()
{
    if (m_frames)
        return m_frames;
    const int ref = m_image->referenceModule();
    const vrx::ModuleInfo& mod = m_image->module(ref);
    // Frames are summed as they are decoded, two at a time on the pool (the decompression of
    // one is serial work; its checksum and the rebuilding of its rows from the residuals are
    // shared out beside it), so that at most two decoded frames are held whatever their number.
    // The sums are of whole numbers: exact in any order.
    auto sum = std::make_shared<MosaicAccumulator>(mod.width, mod.height);
    const int frames = m_image->framesOf(ref);
    std::unique_ptr<uint16_t[]> spare; // the second frame of a pair
    for (int first = 0; first < frames; first += kFramesAtOnce) {
        const int count = std::min(kFramesAtOnce, frames - first);
        uint16_t* into[kFramesAtOnce] = { sum->nextFrame(), nullptr };
        if (count > 1) {
            if (!spare)
                spare.reset(new uint16_t[size_t(mod.width) * size_t(mod.height)]);
            into[1] = spare.get();
        }
        WorkerPool::instance().parallelFor(count, [&](int i) {
            InputRead read(*this);
            m_image->decodeFrame(ref, first + i, into[i], [](int n, const std::function<void(int)>& body) {
                WorkerPool::instance().parallelFor(n, body);
            });
        });
        sum->commit();
        // The second frame of the pair is kept as it is (its memory goes with it; the next pair
        // gets new), and summed with the first as they are read.
        if (count > 1)
            sum->adopt(std::move(spare));
    }
    m_frames = sum;
    return m_frames;
}

SensorLevels PictureSession::sensorLevels() const
{
    const vrx::ModuleInfo& mod = m_image->module(m_image->referenceModule());
    SensorLevels levels;
    levels.black = float(mod.blackLevel);
    levels.white = float(mod.whiteLevel);
    levels.gains = mod.gains;
    return levels;
}

std::vector<HotPixel> PictureSession::hotPixels() const
{
    std::vector<HotPixel> hot;
    for (const vrx::PixelPos& p : m_image->hotPixels(m_image->referenceModule()))
        hot.push_back({ p.x, p.y });
    return hot;
}

std::shared_ptr<const PlaneF> PictureSession::mosaic()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_mosaic)
        return m_mosaic;
    const std::shared_ptr<const MosaicAccumulator> frames = framesLocked();
    m_mosaic = std::make_shared<const PlaneF>(frames->finish(m_cfa, sensorLevels(), hotPixels()));
    // Levels that bin read the mosaic from now on (the same values); the sums may go.
    m_frames.reset();
    return m_mosaic;
}

std::shared_ptr<const RgbPlanes<uint16_t>> PictureSession::level(int level)
{
    if (level < 0 || level >= levelCount())
        throw std::runtime_error("Level out of range");
    std::lock_guard<std::mutex> once(*m_levelMutex[size_t(level)]);
    const Point<int> s = m_sizes[size_t(level)];
    const int ref = m_image->referenceModule();
    const Rect whole { 0, 0, m_image->module(ref).width, m_image->module(ref).height };
    std::shared_ptr<const MosaicAccumulator> frames;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_levels[size_t(level)])
            return m_levels[size_t(level)];
        // A level that bins (a thumbnail's, the first the editor draws) is made from the
        // decoded frames straight away while there is no mosaic: no full-size float plane.
        if (!m_mosaic && levelBins(whole, s.x))
            frames = framesLocked();
    }
    std::shared_ptr<const RgbPlanes<uint16_t>> planes;
    if (frames) {
        planes = std::make_shared<const RgbPlanes<uint16_t>>(
            frames->bin(m_cfa, sensorLevels(), hotPixels(), whole, s.x, s.y));
    } else {
        const std::shared_ptr<const PlaneF> raw = mosaic();
        planes = std::make_shared<const RgbPlanes<uint16_t>>(
            developLevel(*raw, m_cfa, Rect { 0, 0, raw->width(), raw->height() }, s.x, s.y));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_levels[size_t(level)] = planes;
    return planes;
}

std::shared_ptr<const RgbPlanes<uint16_t>> PictureSession::developedLevel(int level)
{
    if (level < 0 || level >= levelCount())
        throw std::runtime_error("Level out of range");
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_levels[size_t(level)];
}

LevelRows PictureSession::levelRows(int level)
{
    if (level < 0 || level >= levelCount())
        throw std::runtime_error("Level out of range");
    std::shared_ptr<const PlaneF> raw = mosaic();
    const Rect whole { 0, 0, raw->width(), raw->height() };
    const Point<int> s = m_sizes[size_t(level)];
    return LevelRows(std::move(raw), m_cfa, whole, s.x, s.y);
}

std::shared_ptr<const PlaneF> PictureSession::depthSnapshot()
{
    if (!depth.hasDepth())
        return nullptr;
    if (!m_depthSnapshot || m_snapshotRevision != depth.revision()
        || m_snapshotMatted != depth.faceMatting()) {
        const PlaneF& cur = depth.current();
        PlaneF copy(cur.width(), cur.height());
        for (int y = 0; y < cur.height(); ++y)
            std::copy(cur.row(y), cur.row(y) + cur.width(), copy.row(y));
        if (depth.faceMatting()) {
            const auto guide = level(m_depthLevel);
            if (guide->width() == copy.width() && guide->height() == copy.height())
                copy = depth::matte(copy, *guide);
        }
        float lo = 1e30f, hi = 0.f;
        for (int y = 0; y < copy.height(); ++y)
            for (int x = 0; x < copy.width(); ++x) {
                lo = std::min(lo, copy.at(x, y));
                hi = std::max(hi, copy.at(x, y));
            }
        m_range = { lo, std::max(hi, lo * 1.001f) };
        m_depthSnapshot = std::make_shared<const PlaneF>(std::move(copy));
        m_snapshotRevision = depth.revision();
        m_snapshotMatted = depth.faceMatting();
    }
    return m_depthSnapshot;
}

std::pair<float, float> PictureSession::depthRange()
{
    depthSnapshot();
    return m_range;
}

std::shared_ptr<const PlaneU8> PictureSession::selectionSnapshot()
{
    if (depth.selection().empty())
        return nullptr;
    if (!m_selectionSnapshot || m_selectionRevision != depth.selectionRevision()) {
        const PlaneU8& s = depth.selection();
        PlaneU8 copy(s.width(), s.height());
        for (int y = 0; y < s.height(); ++y)
            std::copy(s.row(y), s.row(y) + s.width(), copy.row(y));
        m_selectionSnapshot = std::make_shared<const PlaneU8>(std::move(copy));
        m_selectionRevision = depth.selectionRevision();
    }
    return m_selectionSnapshot;
}

bool PictureSession::ensureDepth(const std::function<void(int)>& progress)
{
    std::lock_guard<std::mutex> lock(depthMutex);
    if (depth.hasDepth())
        return false;
    if (progress)
        progress(0);
    // The guide's level (which decodes the raw frames) and the factory map are read side by
    // side: the decompression of each is serial work (their checksums and conversions are
    // shared out beside it). The factory map is resampled to the guide's size (and its holes
    // filled) on its side too, before the guide is there: the steps of refineDepth that need no
    // guide.
    std::shared_ptr<const RgbPlanes<uint16_t>> guide;
    PlaneF resampled;
    WorkerPool::instance().parallelFor(2, [&](int part) {
        if (part == 0) {
            guide = level(m_depthLevel);
            return;
        }
        const Point<int> size = m_sizes[size_t(m_depthLevel)];
        PlaneF factory; // let go once resampled
        if (!m_image->hasDepthMap()) {
            resampled = depth::resampleDepth(factory, size.x, size.y, nullptr);
            return;
        }
        InputRead read(*this); // outside the try: a let-go input is no damaged map
        try {
            m_image->decodeDepthMap([&](int w, int h) { factory.reset(w, h); },
                [&](int y) { return factory.row(y); },
                [](int n, const std::function<void(int)>& body) {
                    WorkerPool::instance().parallelFor(n, body);
                });
        } catch (const std::exception&) {
            factory = PlaneF(); // a damaged factory map: depth from nothing
        }
        resampled = depth::resampleDepth(factory, size.x, size.y, nullptr);
    });
    if (progress) {
        progress(25);
        progress(50);
    }
    depth.setBase(depth::alignDepth(std::move(resampled), *guide, progress));
    depthType = 2;
    depthAnnounced = false;
    return true;
}

} // namespace CIAPI::render

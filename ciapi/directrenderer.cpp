#include "ciapi/directrenderer.h"

#include "ciapi/codec/jpegcodec.h"
#include "ciapi/vrx/hotpixelrecord.h"
#include "ciapi/vrx/vrximage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace CIAPI {

namespace {

constexpr int kMinLongSide = 384;

std::uint8_t toSrgb8Exact(float linear)
{
    linear = linear < 0.f ? 0.f : (linear > 1.f ? 1.f : linear);
    const float s = linear <= 0.0031308f ? 12.92f * linear : 1.055f * std::pow(linear, 1.f / 2.4f) - 0.055f;
    return static_cast<std::uint8_t>(std::lround(s * 255.f));
}

// toSrgb8Exact without a power per sample: the smallest linear value of each output byte,
// found once by bisection over the (ordered) bit patterns of the floats in [0, 1]; a value's
// byte is the number of those thresholds at or below it.
class SrgbThresholds
{
public:
    SrgbThresholds()
    {
        const std::uint32_t oneBits = bits(1.f);
        for (int k = 1; k < 256; ++k) {
            std::uint32_t lo = 0, hi = oneBits + 1; // toSrgb8Exact(1) is 255
            while (lo < hi) {
                const std::uint32_t mid = lo + (hi - lo) / 2;
                if (toSrgb8Exact(value(mid)) >= k)
                    hi = mid;
                else
                    lo = mid + 1;
            }
            m_first[k - 1] = value(lo);
        }
    }
    std::uint8_t operator()(float linear) const
    {
        if (!(linear > 0.f)) // negative, zero and not a number
            return 0;
        int n = 0;
        for (int step = 128; step > 0; step /= 2)
            if (n + step <= 255 && m_first[n + step - 1] <= linear)
                n += step;
        return static_cast<std::uint8_t>(n);
    }

private:
    static std::uint32_t bits(float f)
    {
        std::uint32_t b;
        std::memcpy(&b, &f, sizeof b);
        return b;
    }
    static float value(std::uint32_t b)
    {
        float f;
        std::memcpy(&f, &b, sizeof f);
        return f;
    }
    float m_first[255] {};
};

// Nearest-neighbour copy of `src` into the whole of `dst` (both 4 bytes per pixel).
void resampleInto(const Image& src, Image& dst)
{
    for (int y = 0; y < dst.height(); ++y) {
        const int sy = static_cast<int>(static_cast<long long>(y) * src.height() / dst.height());
        const std::uint8_t* srow = src.row(sy);
        std::uint8_t* drow = dst.row(y);
        for (int x = 0; x < dst.width(); ++x) {
            const int sx = static_cast<int>(static_cast<long long>(x) * src.width() / dst.width());
            std::memcpy(drow + 4 * x, srow + 4 * sx, 4);
        }
    }
}

// Raw thumbnail size: one pixel per 2 x 2 Bayer block, reduced by a whole factor while
// the long side stays at least kMinLongSide.
int rawFactor(int blocksW, int blocksH)
{
    int k = 1;
    while (std::max(blocksW, blocksH) / (k + 1) >= kMinLongSide)
        ++k;
    return k;
}

void renderRaw(const vrx::VrxImage& input, Image& image, bool bgra)
{
    const int pos = input.referenceModule();
    const vrx::ModuleInfo& m = input.modules().at(static_cast<std::size_t>(pos));
    std::vector<std::uint16_t> samples = input.decodeFrame(m.index, 0);
    vrx::repairHotPixels(samples, m.width, m.height, input.hotPixels(m.index));
    const int blocksW = m.width / 2;
    const int blocksH = m.height / 2;
    const float range = static_cast<float>(m.whiteLevel - m.blackLevel);
    const float ev = std::pow(2.f,
        input.metadata().evOffset > -8.f && input.metadata().evOffset < 8.f ? input.metadata().evOffset
                                                                            : 0.f);
    static const SrgbThresholds toSrgb8;
    // The colour of each sample of a 2 x 2 block, and how many of each colour a block has.
    int colour[4];
    int perBlock[3] = { 0, 0, 0 };
    for (int i = 0; i < 4; ++i)
        ++perBlock[colour[i] = vrx::cfaColor(m.cfa, i & 1, i >> 1)];
    std::vector<int> bx0s(static_cast<std::size_t>(image.width()) + 1);
    for (int x = 0; x < image.width(); ++x)
        bx0s[static_cast<std::size_t>(x)]
            = static_cast<int>(static_cast<long long>(x) * blocksW / image.width());
    for (int y = 0; y < image.height(); ++y) {
        const int by0 = static_cast<int>(static_cast<long long>(y) * blocksH / image.height());
        const int by1
            = std::max(by0 + 1, static_cast<int>(static_cast<long long>(y + 1) * blocksH / image.height()));
        std::uint8_t* row = image.row(y);
        for (int x = 0; x < image.width(); ++x) {
            const int bx0 = bx0s[static_cast<std::size_t>(x)];
            const int bx1 = std::max(
                bx0 + 1, static_cast<int>(static_cast<long long>(x + 1) * blocksW / image.width()));
            // Whole-number sums: exact in any order.
            double sum[3] = { 0, 0, 0 };
            for (int by = by0; by < by1; ++by) {
                const std::uint16_t* top = samples.data() + static_cast<std::size_t>(2 * by) * m.width;
                const std::uint16_t* bottom = top + m.width;
                std::uint32_t s[4] = { 0, 0, 0, 0 };
                for (int bx = bx0; bx < bx1; ++bx) {
                    s[0] += top[2 * bx];
                    s[1] += top[2 * bx + 1];
                    s[2] += bottom[2 * bx];
                    s[3] += bottom[2 * bx + 1];
                }
                for (int i = 0; i < 4; ++i)
                    sum[colour[i]] += s[i];
            }
            const int blocks = (by1 - by0) * (bx1 - bx0);
            float cam[3];
            for (int c = 0; c < 3; ++c) {
                const int count = perBlock[c] * blocks;
                const float mean = count ? static_cast<float>(sum[c] / count) : 0.f;
                cam[c] = (mean - static_cast<float>(m.blackLevel)) / range
                    * m.gains[static_cast<std::size_t>(c)] * ev;
            }
            float rgb[3];
            for (int r = 0; r < 3; ++r)
                rgb[r] = m.colorMatrix[static_cast<std::size_t>(3 * r)] * cam[0]
                    + m.colorMatrix[static_cast<std::size_t>(3 * r + 1)] * cam[1]
                    + m.colorMatrix[static_cast<std::size_t>(3 * r + 2)] * cam[2];
            std::uint8_t* px = row + 4 * x;
            px[bgra ? 2 : 0] = toSrgb8(rgb[0]);
            px[1] = toSrgb8(rgb[1]);
            px[bgra ? 0 : 2] = toSrgb8(rgb[2]);
            px[3] = 255;
        }
    }
}

} // namespace

DirectRenderer::DirectRenderer() = default;
DirectRenderer::~DirectRenderer() = default;

std::shared_ptr<DirectRenderer> DirectRenderer::Create(int profile)
{
    if (profile != 4)
        throw std::invalid_argument("Unknown direct renderer profile");
    return std::shared_ptr<DirectRenderer>(new DirectRenderer);
}

int DirectRenderer::width() const
{
    return m_width;
}
int DirectRenderer::height() const
{
    return m_height;
}

void DirectRenderer::onInputChanged()
{
    m_width = 0;
    m_height = 0;
    const auto in = input();
    if (!in)
        return;
    if (in->hasPreview()) {
        codec::JpegCodec::Info info { in->previewWidth(), in->previewHeight() };
        int num = 1;
        int denom = 1;
        codec::JpegCodec::chooseScale(info, kMinLongSide, &num, &denom);
        const auto s = codec::JpegCodec::scaledSize(info, num, denom);
        m_width = s.width;
        m_height = s.height;
        return;
    }
    if (in->modules().empty())
        return;
    const vrx::ModuleInfo& m = in->modules().at(static_cast<std::size_t>(in->referenceModule()));
    const int k = rawFactor(m.width / 2, m.height / 2);
    m_width = std::max(1, m.width / 2 / k);
    m_height = std::max(1, m.height / 2 / k);
}

void DirectRenderer::render(Image& image)
{
    const auto in = input();
    if (!in)
        throw std::runtime_error("No input to render");
    if (!in->compatible())
        throw std::runtime_error("The file cannot be rendered: " + in->incompatibility());
    if (image.empty())
        throw std::runtime_error("No image to render into");
    const bool bgra = getProperty(IntParam::ChannelOrderBGRA) == 1;
    if (in->hasPreview()) {
        try {
            const std::vector<std::uint8_t> jpeg = in->previewJpeg();
            const auto info = codec::JpegCodec::readInfo(jpeg.data(), jpeg.size());
            // The JPEG's own header is believed only as far as the container's record of
            // the preview, itself bounded: memory and time follow the picture's own size.
            if (info.width != in->previewWidth() || info.height != in->previewHeight())
                throw std::runtime_error("The preview does not match its record");
            if (std::int64_t(info.width) * info.height > vrx::limits::kMaxPreviewPixels)
                throw std::runtime_error("The preview is too large");
            int num = 1;
            int denom = 1;
            const int longTarget = std::max(image.width(), image.height());
            codec::JpegCodec::chooseScale(info, longTarget, &num, &denom);
            const auto s = codec::JpegCodec::scaledSize(info, num, denom);
            if (s.width == image.width() && s.height == image.height()) {
                codec::JpegCodec::decode(jpeg.data(), jpeg.size(), num, denom, image, bgra);
            } else {
                Image tmp = codec::JpegCodec::decodeImage(jpeg.data(), jpeg.size(), num, denom, bgra);
                resampleInto(tmp, image);
            }
            return;
        } catch (const std::runtime_error&) {
            // A damaged preview: fall back to the raw samples below.
        }
    }
    renderRaw(*in, image, bgra);
}

} // namespace CIAPI

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

std::uint8_t toSrgb8(float linear)
{
    linear = linear < 0.f ? 0.f : (linear > 1.f ? 1.f : linear);
    const float s = linear <= 0.0031308f ? 12.92f * linear : 1.055f * std::pow(linear, 1.f / 2.4f) - 0.055f;
    return static_cast<std::uint8_t>(std::lround(s * 255.f));
}

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
    for (int y = 0; y < image.height(); ++y) {
        const int by0 = static_cast<int>(static_cast<long long>(y) * blocksH / image.height());
        const int by1
            = std::max(by0 + 1, static_cast<int>(static_cast<long long>(y + 1) * blocksH / image.height()));
        std::uint8_t* row = image.row(y);
        for (int x = 0; x < image.width(); ++x) {
            const int bx0 = static_cast<int>(static_cast<long long>(x) * blocksW / image.width());
            const int bx1 = std::max(
                bx0 + 1, static_cast<int>(static_cast<long long>(x + 1) * blocksW / image.width()));
            double sum[3] = { 0, 0, 0 };
            int count[3] = { 0, 0, 0 };
            for (int by = by0; by < by1; ++by) {
                for (int bx = bx0; bx < bx1; ++bx) {
                    for (int dy = 0; dy < 2; ++dy) {
                        for (int dx = 0; dx < 2; ++dx) {
                            const int sx = 2 * bx + dx;
                            const int sy = 2 * by + dy;
                            const int c = vrx::cfaColor(m.cfa, sx, sy);
                            sum[c] += samples[static_cast<std::size_t>(sy) * m.width + sx];
                            ++count[c];
                        }
                    }
                }
            }
            float cam[3];
            for (int c = 0; c < 3; ++c) {
                const float mean = count[c] ? static_cast<float>(sum[c] / count[c]) : 0.f;
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

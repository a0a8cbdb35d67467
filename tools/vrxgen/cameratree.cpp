#include "tools/vrxgen/cameratree.h"

#include "ciapi/codec/jpegcodec.h"
#include "ciapi/state/statecodec.h"
#include "tools/vrxgen/exifjpeg.h"
#include "tools/vrxgen/generator.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace vrxgen {

using namespace CIAPI;

namespace {

std::string pad(int n, int width = 4)
{
    std::string s = std::to_string(n);
    while (static_cast<int>(s.size()) < width)
        s.insert(s.begin(), '0');
    return s;
}

std::string exifDate(std::int64_t seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y:%m:%d %H:%M:%S", &tm);
    return buf;
}

std::string hexWordsText(const vrx::UuidWords& w, const char* sep)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%08x%s%08x%s%08x%s%08x", w[0], sep, w[1], sep, w[2], sep, w[3]);
    return buf;
}

bool writeText(const fs::path& path, const std::string& text)
{
    return writeFile(path.string(), std::vector<std::uint8_t>(text.begin(), text.end()));
}

// A small preview of the picture with the camera's EXIF block.
std::vector<std::uint8_t> cameraPreview(const Picture& pic, bool bigEndian)
{
    const auto info = codec::JpegCodec::readInfo(pic.previewJpeg.data(), pic.previewJpeg.size());
    ExifFacts f;
    f.width = info.width;
    f.height = info.height;
    f.orientation = exifOrientationFor(pic.meta.orientation);
    f.description = hexWordsText(pic.meta.imageUuid, "-");
    f.uniqueId = hexWordsText(pic.meta.imageUuid, "");
    f.dateTime = exifDate(pic.meta.captureTime + pic.meta.utcOffsetMinutes * 60);
    f.bigEndian = bigEndian;
    return withExif(pic.previewJpeg, f);
}

// A state file: the picture's ID and rating, and with `thumbnail` an edited look.
std::vector<std::uint8_t> stateFor(const Picture& pic, int rating, bool thumbnail)
{
    state::EngineState s;
    s.imageId = pic.meta.imageUuid;
    s.rating = rating;
    if (thumbnail) {
        auto img = codec::JpegCodec::decodeImage(pic.previewJpeg.data(), pic.previewJpeg.size());
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                img.row(y)[4 * x + 2] = static_cast<std::uint8_t>(255 - img.row(y)[4 * x + 2]);
        s.thumbnailJpeg = codec::JpegCodec::encode(img, 90);
        s.tuneFloats = std::map<int, float> { { 2, 0.5f }, { 8, 20.f } };
    }
    return state::StateCodec::write(s);
}

std::vector<std::uint8_t> fakeMp4(int seconds)
{
    // A minimal ISO media header ("ftyp" box) and a "free" box standing in for the media.
    std::vector<std::uint8_t> out = { 0, 0, 0, 24, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0, 'i',
        's', 'o', 'm', 'm', 'p', '4', '1' };
    const std::uint32_t size = 8 + 4096u * static_cast<std::uint32_t>(seconds);
    out.push_back(static_cast<std::uint8_t>(size >> 24));
    out.push_back(static_cast<std::uint8_t>(size >> 16));
    out.push_back(static_cast<std::uint8_t>(size >> 8));
    out.push_back(static_cast<std::uint8_t>(size));
    out.insert(out.end(), { 'f', 'r', 'e', 'e' });
    out.resize(out.size() + size - 8, 0);
    return out;
}

} // namespace

bool makeCameraTree(const std::string& folder, const TreeOptions& o, TreeInfo* info)
{
    std::error_code ec;
    fs::path root(folder);
    fs::path pictures = root;
    fs::path reservedDir = root;
    if (o.usb) {
        const fs::path h = root / ("Z40HD" + o.serial);
        const fs::path c = root / ("Z40CD" + o.serial);
        const fs::path s = root / ("Z40SD" + o.serial);
        for (const auto& p : { h, c, s })
            fs::create_directories(p, ec);
        fs::create_directories(c / o.marker, ec);
        pictures = c / "DCIM";
        reservedDir = c;
    }
    fs::create_directories(pictures, ec);
    if (ec)
        return false;
    TreeInfo local;
    TreeInfo& out = info ? *info : local;
    out.pictureRoot = pictures.string();
    out.cameraUuid = cameraUuidText(cameraUuidWords(o.cameraSeed));

    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<metadata>\n";
    std::vector<std::uint8_t> calibration;
    for (int i = 1; i <= o.pictures; ++i) {
        PictureOptions po;
        po.seed = o.cameraSeed * 1000 + static_cast<std::uint32_t>(i);
        po.cameraSeed = o.cameraSeed;
        po.moduleWidth = o.moduleWidth;
        po.moduleHeight = o.moduleHeight;
        po.orientation = i % 8;
        po.aspectMode = (i % 5 == 0) ? 1 : 0;
        po.hotPixelsPerModule = o.hotPixelsPerModule;
        po.compressed = (i % 3 == 0);
        po.previewLongSide = std::min(320, o.moduleWidth);
        const Picture pic = makePicture(po);
        const std::string name = "IMG_" + pad(i);
        const int stars = i % 6;
        if (!writeFile((pictures / (name + ".vrx")).string(), pic.vrx)
            || !writeFile((pictures / (name + ".jpg")).string(), cameraPreview(pic, i % 2 == 0)))
            return false;
        if (i % 3 == 1
            && !writeFile((pictures / (name + ".vrxs")).string(), stateFor(pic, stars, i % 2 == 1)))
            return false;
        xml += "  <item><path>/DCIM/" + name + ".jpg</path><stars>" + std::to_string(stars) + "</stars><dt>"
            + std::to_string(pic.meta.captureTime * 1000) + "</dt></item>\n";
        out.pictures.push_back(name);
        out.imageUuids.push_back(imageUuidText(pic.meta.imageUuid));
        out.stars.push_back(stars);
        if (calibration.empty())
            calibration = pic.calibration;
    }
    for (int v = 1; v <= o.videos; ++v) {
        const std::string name = "VID_" + pad(v);
        if (!writeFile((pictures / (name + ".mp4")).string(), fakeMp4(2 + v)))
            return false;
        PictureOptions po;
        po.seed = 9000 + static_cast<std::uint32_t>(v);
        po.moduleWidth = 64;
        po.moduleHeight = 48;
        po.modules = 1;
        po.frames = 1;
        if (!writeFile((pictures / (name + "_thumbnail.jpg")).string(), makePicture(po).previewJpeg))
            return false;
        xml += "  <item><path>/DCIM/" + name + ".mp4</path><stars>0</stars><dt>"
            + std::to_string((1700000000ll + v * 600) * 1000) + "</dt><dur>" + std::to_string((2 + v) * 1000)
            + "</dur></item>\n";
    }
    xml += "</metadata>\n";
    for (int p = 1; p <= o.presets; ++p) {
        char uuid[64];
        std::snprintf(uuid, sizeof uuid, "{%08x-0000-4000-8000-%012x}",
            0x51ed0000u + static_cast<unsigned>(p), static_cast<unsigned>(p));
        const std::string doc
            = std::string("{\"versionMajor\":1,\"versionMinor\":0,\"name\":\"camera preset ")
            + std::to_string(p) + "\",\"timestampUTC\":\"2024-01-0" + std::to_string(p)
            + "T10:00:00Z\",\"uuid\":\"" + uuid + "\",\"colormetrics\":{\"exposure\":"
            + std::to_string(0.25 * p) + ",\"contrast\":" + std::to_string(10 * p) + "}}";
        if (!writeText(pictures / (std::string(uuid) + ".qpf"), doc))
            return false;
    }
    if (!writeText(reservedDir / "metadata.xml", xml))
        return false;
    if (!calibration.empty() && !writeFile((reservedDir / "hotpixel.rec").string(), calibration))
        return false;
    return true;
}

bool makeDemoLibrary(const std::string& folder, int count)
{
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec)
        return false;
    std::atomic<int> next { 1 };
    std::atomic<bool> ok { true };
    auto work = [&] {
        for (int i = next++; i <= count && ok; i = next++) {
            PictureOptions po;
            po.seed = 500 + static_cast<std::uint32_t>(i);
            po.cameraSeed = 1 + static_cast<std::uint32_t>(i % 2);
            po.aspectMode = (i % 4 == 0) ? 1 : 0;
            po.moduleWidth = 2080;
            po.moduleHeight = po.aspectMode == 1 ? 1170 : 1560;
            po.modules = 2;
            po.frames = (i % 3 == 0) ? 1 : 2;
            po.orientation = (i % 7 == 0) ? 1 : (i % 11 == 0 ? 2 : 0);
            po.focalLength = 28 + (i * 7) % 42;
            po.compressed = (i % 3 != 1);
            po.noise = 0.002f;
            po.previewLongSide = 1152;
            po.captureTime = 1717000000ll + static_cast<std::int64_t>(i) * 86400 / 3;
            const Picture pic = makePicture(po);
            const fs::path base = fs::path(folder) / ("IMG_" + pad(i));
            if (!writeFile(base.string() + ".vrx", pic.vrx)) {
                ok = false;
                return;
            }
            if (i % 4 == 2 && !writeFile(base.string() + ".vrxs", stateFor(pic, 1 + i % 5, false)))
                ok = false;
        }
    };
    std::vector<std::thread> pool;
    const unsigned n = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    for (unsigned t = 0; t < n; ++t)
        pool.emplace_back(work);
    for (auto& t : pool)
        t.join();
    return ok;
}

bool makeVariants(const std::string& folder)
{
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec)
        return false;
    PictureOptions po;
    po.moduleWidth = 128;
    po.moduleHeight = 96;
    const auto good = makePicture(po);
    bool ok = writeFile((fs::path(folder) / "good.vrx").string(), good.vrx);
    PictureOptions bad = po;
    bad.cfa = 7;
    ok = ok && writeFile((fs::path(folder) / "unknown_pattern.vrx").string(), makePicture(bad).vrx);
    bad = po;
    bad.majorVersion = 2;
    ok = ok && writeFile((fs::path(folder) / "newer_version.vrx").string(), makePicture(bad).vrx);
    ok = ok
        && writeFile(
            (fs::path(folder) / (std::string("IMG_") + kIncompatibilityMarker + ".vrx")).string(), good.vrx);
    std::vector<std::uint8_t> cut(
        good.vrx.begin(), good.vrx.begin() + static_cast<std::ptrdiff_t>(good.vrx.size() / 2));
    ok = ok && writeFile((fs::path(folder) / "truncated.vrx").string(), cut);
    ok = ok && writeFile((fs::path(folder) / "empty.vrx").string(), {});
    return ok;
}

} // namespace vrxgen

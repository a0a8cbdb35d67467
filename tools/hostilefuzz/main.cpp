// hostilefuzz: feeds mutated pictures, state files, camera previews and patch documents to
// the readers that take them from outside, with fixed seeds and bounded counts. Build it
// with -DOSTRA_SANITIZE=ON and run it for as long as there is time:
//   hostilefuzz vrx|state|exif|patch [--seed N] [--count N] [--keep FOLDER]
// A clean refusal (std::runtime_error) is fine; any other exception is a fault and is
// printed with the case that made it (and the input kept in FOLDER when given); the
// sanitizers report the rest and the case is printed before the program ends.
#include "ciapi/ciapi.h"
#include "ciapi/qzcompress.h"
#include "ciapi/vrx/vrximage.h"
#include "engine/exifreader.h"
#include "engine/imageproperties.h"
#include "engine/vrxmetadata.h"
#include "tools/hostilefuzz/mutator.h"
#include "tools/vrxgen/exifjpeg.h"
#include "tools/vrxgen/generator.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

// Under the address sanitizer the case at hand is printed when it ends the run.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define HOSTILEFUZZ_DEATH_CALLBACK 1
#endif

using namespace CIAPI;
using hostilefuzz::Bytes;

namespace {

std::string g_case; // printed when a sanitizer ends the run
int g_faults = 0;
QString g_keep;

#ifdef HOSTILEFUZZ_DEATH_CALLBACK
void printCase()
{
    std::fprintf(stderr, "hostilefuzz: while running %s\n", g_case.c_str());
}
#endif

template <class F> void refusedCleanly(F&& f)
{
    try {
        f();
    } catch (const std::runtime_error&) { }
}

void fault(const std::string& what, const Bytes& input)
{
    ++g_faults;
    std::printf("FAULT %s: %s\n", g_case.c_str(), what.c_str());
    if (!g_keep.isEmpty()) {
        QDir().mkpath(g_keep);
        const QString path = g_keep + QLatin1Char('/')
            + QString::fromStdString(g_case).replace(QLatin1Char(' '), QLatin1Char('_'));
        vrxgen::writeFile(path.toStdString(), input);
    }
    std::fflush(stdout);
}

// Runs one case; what is not a clean refusal is a fault.
void guarded(const Bytes& input, const std::function<void()>& f)
{
    try {
        f();
    } catch (const std::runtime_error&) {
    } catch (const std::exception& e) {
        fault(std::string(typeid(e).name()) + ": " + e.what(), input);
    } catch (...) {
        fault("unknown exception", input);
    }
}

// ---- pictures ---------------------------------------------------------------------------

Bytes picture(std::uint32_t variant)
{
    vrxgen::PictureOptions o;
    o.seed = 3 + variant;
    o.moduleWidth = 48;
    o.moduleHeight = 32;
    o.modules = 1 + int(variant % 2);
    o.frames = 1 + int(variant % 3 == 0);
    o.compressed = variant % 2 == 1;
    o.preview = variant % 4 != 2;
    o.previewLongSide = 48;
    o.depthMap = variant % 5 != 3;
    o.aspectMode = int(variant % 3 == 1);
    o.orientation = int(variant % 8);
    o.hotPixelsPerModule = variant % 3 == 2 ? 2 : 0;
    const vrxgen::Picture pic = vrxgen::makePicture(o);
    Bytes bytes = pic.vrx;
    bytes.insert(bytes.end(), pic.calibration.begin(), pic.calibration.end());
    return bytes;
}

void exercisePicture(const Bytes& bytes, bool deep)
{
    refusedCleanly([&] {
        auto direct = DirectRenderer::Create(4);
        direct->setInputDataStream(bytes.data(), bytes.size());
        if (!direct->hasInput())
            return;
        (void)direct->getProperty(IntParam::FocalLength);
        const auto in = direct->input();
        for (const auto& m : in->modules())
            for (int f = 0; f < in->framesOf(m.index); ++f)
                refusedCleanly([&] { (void)in->decodeFrame(m.index, f); });
        refusedCleanly([&] { (void)in->depthMap(); });
        refusedCleanly([&] { (void)in->previewJpeg(); });
        if (direct->width() > 0 && direct->height() > 0 && direct->width() <= 4096
            && direct->height() <= 4096) {
            Image image = Image::Create(direct->width(), direct->height());
            refusedCleanly([&] { direct->render(image); });
            Image odd = Image::Create(7, 5);
            refusedCleanly([&] { direct->render(odd); });
        }
    });
    refusedCleanly([&] {
        PropertyAccessor accessor;
        accessor.setInputDataStream(bytes.data(), bytes.size());
        VrxMetadata record;
        record.resetFromFile(QUrl::fromLocalFile(QStringLiteral("/nonexistent/IMG.vrx")));
        record.readFrom(accessor);
        (void)record.captureTime.toString(Qt::ISODateWithMs);
    });
    if (deep) {
        refusedCleanly([&] {
            auto renderer = Renderer::Create(3);
            renderer->setInputDataStream(bytes.data(), bytes.size());
            if (!renderer->isCompatible())
                return;
            VrxMetadata record;
            record.resetFromFile(QUrl::fromLocalFile(QStringLiteral("/nonexistent/IMG.vrx")));
            record.readRendererMetadata(*renderer);
            ImagePyramid out = renderer->outputBuffer();
            const int last = ImagePyramid::LevelCountFor(out[0].width(), out[0].height()) - 1;
            renderer->render(last, ROI { 0, 0, 1 << 20, 1 << 20 }, 2, true);
            std::stringstream state;
            renderer->serialize(state, StateFull);
            state.seekg(0);
            renderer->deserialize(state, StateFull);
            auto sink = std::make_shared<std::ostringstream>();
            renderer->writeImage(sink, Point<int> { 40, 30 }, ExportJPEG, [](int) {});
        });
    }
    refusedCleanly([&] {
        auto in = std::make_shared<std::istringstream>(std::string(bytes.begin(), bytes.end()));
        auto out = std::make_shared<std::stringstream>();
        if (qzCompress::CompressVRX(in, out, 1, 1, 1) == qzCompress::CompressionSuccess) {
            const std::string packed = out->str();
            PropertyAccessor acc;
            acc.setInputDataStream(packed.data(), packed.size());
            if (acc.getProperty(IntParam::Compressed) != 1)
                throw std::logic_error("compressed output not marked compressed");
        }
    });
}

// ---- state files ------------------------------------------------------------------------

struct StateBase
{
    Bytes picture;
    Bytes state;
};

StateBase stateBase(std::uint32_t variant)
{
    StateBase base;
    base.picture = picture(variant % 4 == 2 ? 0 : variant);
    auto renderer = Renderer::Create(3);
    renderer->setInputDataStream(base.picture.data(), base.picture.size());
    renderer->setProperty(FloatParam::Exposure, 0.5f);
    renderer->setProperty(IntParam::UserRating, 3);
    renderer->transform().rotate90(1);
    {
        std::stringstream first;
        renderer->serialize(first, StateFull); // computes the depth the editor works on
        DepthEditor editor(*renderer);
        BrushDepthEditingParams brush;
        brush.points = { { 0.2f, 0.2f }, { 0.6f, 0.4f } };
        brush.brushSize = 0.1f;
        brush.depth = 2.f;
        editor.pushBrushDepthEdit(brush);
        if (variant % 2)
            editor.enableFaceMatting(true);
    }
    std::stringstream out;
    renderer->serialize(out, StateFull);
    const std::string s = out.str();
    base.state.assign(s.begin(), s.end());
    // An appended rating record, as a star click writes it.
    StateFileEditor rating;
    rating.setUserRating(5);
    std::stringstream more;
    rating.serialize(more);
    const std::string r = more.str();
    base.state.insert(base.state.end(), r.begin(), r.end());
    return base;
}

void exerciseState(const StateBase& base, const Bytes& bytes)
{
    refusedCleanly([&] {
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        StateFileEditor editor(in);
        (void)editor.imageID();
        (void)editor.depthType();
        (void)editor.hasDepthEdits();
        (void)editor.userRating();
        (void)editor.transform().matrix(editor.transform().aspectRatio());
        VrxMetadata record;
        record.resetFromFile(QUrl::fromLocalFile(QStringLiteral("/nonexistent/IMG.vrx")));
        record.readStateFileMetadata(editor);
        refusedCleanly([&] { (void)editor.getThumbnail(); });
        std::stringstream again;
        editor.serialize(again);
    });
    for (int profile : { 0, 3 }) {
        refusedCleanly([&] {
            auto renderer = Renderer::Create(profile);
            renderer->setInputDataStream(base.picture.data(), base.picture.size());
            std::istringstream in(std::string(bytes.begin(), bytes.end()));
            renderer->deserialize(in, StateFull);
            VrxMetadata record;
            record.resetFromFile(QUrl::fromLocalFile(QStringLiteral("/nonexistent/IMG.vrx")));
            record.readRendererMetadata(*renderer);
            ImagePyramid out = renderer->outputBuffer();
            const int last = ImagePyramid::LevelCountFor(out[0].width(), out[0].height()) - 1;
            renderer->render(last, ROI { 0, 0, 1 << 20, 1 << 20 }, 2, true);
            if (profile == 3) {
                DepthEditor editor(*renderer);
                (void)editor.undoDepthEdit();
                (void)editor.redoDepthEdit();
                (void)editor.getDepthAtPoint(PointF { 0.25f, 0.75f });
            }
            std::stringstream state;
            renderer->serialize(state, StateProfile);
            auto sink = std::make_shared<std::ostringstream>();
            renderer->writeImage(sink, Point<int> { 24, 18 }, ExportPPM, [](int) {});
        });
    }
}

// ---- camera previews --------------------------------------------------------------------

Bytes preview(std::uint32_t variant)
{
    vrxgen::PictureOptions o;
    o.seed = 5 + variant;
    o.moduleWidth = 32;
    o.moduleHeight = 24;
    o.modules = 1;
    o.frames = 1;
    o.previewLongSide = 32;
    const vrxgen::Picture pic = vrxgen::makePicture(o);
    vrxgen::ExifFacts facts;
    facts.width = 32;
    facts.height = 24;
    facts.orientation = 1 + int(variant % 8);
    facts.description = "0a0b0c0d-01020304-05060708-090a0b0c";
    facts.uniqueId = "0123456789abcdef0123456789abcdef";
    facts.dateTime = "2024:05:01 14:03:07";
    facts.bigEndian = variant % 2 == 1;
    return vrxgen::withExif(pic.previewJpeg, facts);
}

void exerciseExif(const Bytes& bytes)
{
    QByteArray data(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    for (bool all : { true, false }) {
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        Exif::Callbacks callbacks;
        callbacks.filter
            = [all](const Exif::EntrySpec& e) { return all || e.tag == 0xA420 || e.tag == 0x010E; };
        callbacks.entry = [](quint64, const Exif::Directory&, const Exif::ExifEntry& e, QIODevice& device) {
            (void)e.toString();
            (void)e.toInt();
            (void)e.intAt(int(qMin<quint32>(e.count, 1u << 20)) - 1);
            char probe[4];
            device.seek(0);
            device.read(probe, 4); // a callback may read; the walk must not notice
        };
        callbacks.directory = [](quint64, const Exif::Directory& dir, QIODevice&) { (void)dir.find(0x0112); };
        callbacks.error = [](qint64, Exif::ExifError, quint64) {};
        const QList<Exif::Directory> dirs = Exif::readExif(buffer, callbacks);
        for (const auto& dir : dirs)
            for (const auto& e : dir.entries)
                (void)e.toString();
    }
}

// ---- patch documents --------------------------------------------------------------------

Bytes patchDocument(std::uint32_t variant)
{
    QJsonObject top {
        { "versionMajor", 1 },
        { "versionMinor", 0 },
        { "name", "preset 3" },
        { "device", "Ostra" },
        { "deviceID", "host" },
        { "timestampUTC", 1714564987 },
        { "uuid", "{0b1f8a4e-6d0e-4a55-9d3b-8f8f2a7c9e11}" },
        { "colormetrics",
            QJsonObject { { "exposure", 0.5 }, { "contrast", -20 }, { "temp", 5200 }, { "tint", 4 },
                { "vibrance", 10 }, { "saturation", -5 }, { "sharpening", 30 } } },
        { "geometry",
            QJsonObject { { "crop", QJsonArray { 0.1, 0.2, 0.5, 0.6 } },
                { "flipHorizontal", variant % 2 == 1 }, { "relativeRotation", 90 * int(variant % 4) },
                { "orientation", int(variant % 8) } } },
    };
    const QByteArray json
        = QJsonDocument(top).toJson(variant % 3 ? QJsonDocument::Indented : QJsonDocument::Compact);
    return Bytes(json.begin(), json.end());
}

// Equal but for float rounding (a crop travels as single-precision values).
bool sameDocument(const QJsonValue& a, const QJsonValue& b)
{
    if (a.isDouble() && b.isDouble())
        return std::fabs(a.toDouble() - b.toDouble()) <= 1e-5 * std::max(1.0, std::fabs(a.toDouble()));
    if (a.isArray() && b.isArray()) {
        const QJsonArray x = a.toArray(), y = b.toArray();
        if (x.size() != y.size())
            return false;
        for (int i = 0; i < x.size(); ++i)
            if (!sameDocument(x.at(i), y.at(i)))
                return false;
        return true;
    }
    if (a.isObject() && b.isObject()) {
        const QJsonObject x = a.toObject(), y = b.toObject();
        if (x.keys() != y.keys())
            return false;
        for (const QString& k : x.keys())
            if (!sameDocument(x.value(k), y.value(k)))
                return false;
        return true;
    }
    return a == b;
}

void exercisePatch(const Bytes& bytes)
{
    const QByteArray json(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    ImageProperties first;
    if (!first.loadPatch(json))
        return;
    // What was taken is written and read back the same.
    const QByteArray written = first.savePatch();
    ImageProperties second;
    if (!second.loadPatch(written))
        throw std::logic_error("a patch that was read could not be read back once written");
    const QByteArray again = second.savePatch();
    if (!sameDocument(QJsonDocument::fromJson(again).object(), QJsonDocument::fromJson(written).object()))
        throw std::logic_error("a patch read back is written differently:\n" + written.toStdString() + "\n"
            + again.toStdString());
}

// ---- the run ----------------------------------------------------------------------------

struct Options
{
    QString target;
    std::uint32_t seed = 1;
    int count = 1000;
};

int run(const Options& o)
{
    hostilefuzz::Mutator mutator(o.seed);
    const int variants = 6;
    std::vector<Bytes> bases;
    std::vector<StateBase> states;
    for (int v = 0; v < variants; ++v) {
        if (o.target == QLatin1String("vrx"))
            bases.push_back(picture(std::uint32_t(v)));
        else if (o.target == QLatin1String("state"))
            states.push_back(stateBase(std::uint32_t(v)));
        else if (o.target == QLatin1String("exif"))
            bases.push_back(preview(std::uint32_t(v)));
        else if (o.target == QLatin1String("patch"))
            bases.push_back(patchDocument(std::uint32_t(v)));
        else
            return 2;
    }
    for (int i = 0; i < o.count; ++i) {
        const std::uint32_t v = mutator.below(variants);
        Bytes input = o.target == QLatin1String("state") ? states[v].state : bases[v];
        std::string what;
        for (std::uint32_t n = 0, rounds = 1 + mutator.below(3); n < rounds; ++n) {
            if (!what.empty())
                what += ", ";
            if (o.target == QLatin1String("vrx"))
                what += mutator.vrx(input);
            else if (o.target == QLatin1String("state"))
                what += mutator.state(input);
            else if (o.target == QLatin1String("exif"))
                what += mutator.jpeg(input);
            else
                what += mutator.json(input);
        }
        g_case = o.target.toStdString() + " seed " + std::to_string(o.seed) + " case " + std::to_string(i)
            + " [" + what + "]";
        if (o.target == QLatin1String("vrx"))
            guarded(input, [&] { exercisePicture(input, i % 4 == 0); });
        else if (o.target == QLatin1String("state"))
            guarded(input, [&] { exerciseState(states[v], input); });
        else if (o.target == QLatin1String("exif"))
            guarded(input, [&] { exerciseExif(input); });
        else
            guarded(input, [&] { exercisePatch(input); });
        if ((i + 1) % 250 == 0) {
            std::fprintf(stderr, "%s: %d cases, %d faults\n", qPrintable(o.target), i + 1, g_faults);
            std::fflush(stderr);
        }
    }
    std::printf("%s: %d cases from seed %u, %d faults\n", qPrintable(o.target), o.count, o.seed, g_faults);
    return g_faults ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.warning=false"));
#ifdef HOSTILEFUZZ_DEATH_CALLBACK
    __sanitizer_set_death_callback(printCase);
#endif
    Options o;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == QLatin1String("--seed") && i + 1 < args.size())
            o.seed = args.at(++i).toUInt();
        else if (a == QLatin1String("--count") && i + 1 < args.size())
            o.count = args.at(++i).toInt();
        else if (a == QLatin1String("--keep") && i + 1 < args.size())
            g_keep = args.at(++i);
        else if (o.target.isEmpty() && !a.startsWith(QLatin1Char('-')))
            o.target = a;
        else
            o.target = QStringLiteral("?");
    }
    const int status = run(o);
    if (status == 2)
        std::fprintf(
            stderr, "usage: hostilefuzz vrx|state|exif|patch [--seed N] [--count N] [--keep FOLDER]\n");
    StaticShutdown();
    return status;
}

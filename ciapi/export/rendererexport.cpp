// Renderer::writeImage: level 0 under the transform, scaled, in one of four formats.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "ciapi/export/encoders.h"
#include "ciapi/export/exportgeometry.h"
#include "ciapi/export/rowwriters.h"
#include "ciapi/export/streamedexport.h"
#include "ciapi/freememory.h"
#include "ciapi/render/colourpipeline.h"
#include "ciapi/render/picturesession.h"
#include "ciapi/render/rendererprivate.h"
#include "ciapi/render/renderrequest.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/renderer.h"
#include "ciapi/vrx/vrximage.h"

namespace CIAPI {

using namespace render;
using namespace exporter;

bool Renderer::writeImage(std::shared_ptr<std::ostream> stream, Point<int> size, ExportImageFormat format,
    std::function<void(int)> progress)
{
    if (format < ExportJPEG || format > ExportHDR)
        throw std::runtime_error("Unexpected export format!");
    if (!stream)
        throw std::runtime_error("No stream to write to");
    if (!d->session)
        throw std::runtime_error("No picture to export");
    // Whatever way the export ends, the planes it let go of go back to the system rather than
    // stay with the allocator (the process would keep a few hundred MB after a large picture);
    // on the pool, so that the caller does not wait for it.
    struct GiveBack
    {
        ~GiveBack()
        {
            WorkerPool::instance().submit([] { ReturnFreeMemory(); });
        }
    } giveBack;
    giveBackMemoryWhenGone();
    const uint64_t abortAt = d->abortGeneration.load();
    auto aborted = [&] { return d->abortGeneration.load() != abortAt; };
    auto report = [&](int p) {
        if (progress)
            progress(p);
    };
    report(0);

    PictureSession& session = *d->session;
    const Point<int> full = session.levelSize(0);
    const Transform& t = transform();
    const RectF c = t.crop();
    const std::array<int, 4> m { t.m(0), t.m(1), t.m(2), t.m(3) };
    const ExportPlan plan = planExport(full.x, full.y, { c.x, c.y, c.width, c.height }, m, size.x, size.y);
    const bool hiFi = getProperty(IntParam::HighFidelity) == 1;
    const int colourSpace = int(getProperty(IntParam::ExportColorSpace));
    const bool tone = colourSpace == 4;

    // The coarsest level that still has the pixels asked for (twice as many for hi-fi).
    const double need
        = std::max(double(plan.width) / plan.crop.width(), double(plan.height) / plan.crop.height());
    int level = 0;
    for (int l = session.levelCount() - 1; l > 0; --l) {
        const double scale = double(session.levelSize(l).x) / full.x;
        if (scale >= need * (hiFi ? 2.0 : 1.0)) {
            level = l;
            break;
        }
    }
    const Point<int> ls = session.levelSize(level);
    const double k = double(ls.x) / full.x;
    const Rect src = Rect { int(std::floor(plan.crop.x0 * k)), int(std::floor(plan.crop.y0 * k)),
        int(std::ceil(plan.crop.x1 * k)), int(std::ceil(plan.crop.y1 * k)) }
                         .intersected(Rect { 0, 0, ls.x, ls.y });

    RequestSettings settings;
    settings.profile = d->profile;
    settings.values = properties().snapshot();

    ExifFacts facts;
    facts.captureTime = getProperty(IntParam::CaptureTime);
    facts.utcOffsetMinutes = int(getProperty(IntParam::UtcOffset));
    const auto uuid = getProperty(IntArrayParam::PictureUuid);
    std::array<uint32_t, 4> words {};
    for (size_t i = 0; i < std::min<size_t>(4, uuid.size()); ++i)
        words[i] = uuid[i];
    facts.imageUniqueId = uuidHex(words);

    const int W = plan.finalWidth(), H = plan.finalHeight();
    std::unique_ptr<RowWriter> writer;
    switch (format) {
    case ExportJPEG:
        writer = jpegRowWriter(*stream, W, H, hiFi ? 95 : 88, hiFi, facts);
        break;
    case ExportPPM:
        writer = ppmRowWriter(*stream, W, H);
        break;
    case ExportDNG:
        writer = dngRowWriter(*stream, W, H, facts);
        break;
    default:
        writer = hdrRowWriter(*stream, W, H);
        break;
    }

    // A level developed already is read as it is; otherwise the export develops the rows it
    // needs as it goes rather than holding the whole level (levels that bin are small: whole).
    // The inputs (depth computed where the profile asks for it) and the rows are made side by
    // side: once the raw frames are decoded, their mosaic is made while the depth is aligned,
    // and when the depth is computed here, the colours of the first rows the export renders are
    // made while the depth is aligned too.
    TileInputs in;
    std::optional<LevelRows> rows;
    std::optional<StreamedExport> job;
    const bool developed = session.developedLevel(level) != nullptr;
    bool depthToCome = false;
    if (!developed && settings.profile == 3 && getProperty(IntParam::EagerDepth) == 1) {
        std::lock_guard<std::mutex> lock(session.depthMutex);
        depthToCome = !session.depth.hasDepth();
    }
    WorkerPool::instance().parallelFor(developed ? 1 : 2, [&](int part) {
        if (part == 0) {
            in = prepareInputs(*d->shared, session, level, settings, nullptr, false);
            return;
        }
        LevelRows levelRows = session.levelRows(level);
        if (!levelRows.streams())
            return;
        rows.emplace(std::move(levelRows));
        if (!depthToCome)
            return;
        // `in` is being made meanwhile: the export reads it only once it runs.
        job.emplace(in, src, plan, m, hiFi, tone, *writer, &*rows);
        TileInputs early = colourInputs(session, level, settings);
        early.refocus = refocusAperture(settings.values, early.levelWidth);
        job->makeFirstColour(early);
    });
    if (!job) {
        in.camera = session.developedLevel(level);
        if (in.camera)
            rows.reset();
        else if (!rows)
            in.camera = session.level(level);
        job.emplace(in, src, plan, m, hiFi, tone, *writer, rows ? &*rows : nullptr);
    }
    if (aborted())
        return false;
    if (!job->run(aborted, report))
        return false;
    writer->finish();
    stream->flush();
    if (!*stream)
        throw std::runtime_error("Couldn't write the export");
    report(100);
    return true;
}

} // namespace CIAPI

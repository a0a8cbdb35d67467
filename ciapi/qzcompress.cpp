#include "ciapi/qzcompress.h"

#include "ciapi/bytesource.h"
#include "ciapi/cpucount.h"
#include "ciapi/vrx/bytes.h"
#include "ciapi/vrx/crc32.h"
#include "ciapi/vrx/rawcodec.h"
#include "ciapi/vrx/vrxformat.h"
#include "ciapi/vrx/vrximage.h"
#include "ciapi/vrx/vrxwriter.h"

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace qzCompress {

using namespace CIAPI;

namespace {

int zstdLevelFor(int level)
{
    if (level <= 0)
        return 3;
    if (level <= 22)
        return level;
    return std::min(19, 1 + std::min(level, 100) * 8 / 100);
}

} // namespace

CompressionStatus CompressVRX(std::shared_ptr<std::istream> input, std::shared_ptr<std::ostream> output,
    int level, int threads, int verify)
{
    if (!input || !output)
        return CompressionBadInput;
    std::shared_ptr<const vrx::VrxImage> image;
    try {
        image = vrx::VrxImage::open(ByteSource::fromStream(input));
    } catch (const std::runtime_error&) {
        return CompressionBadInput;
    }
    if (image->compressed())
        return CompressionAlreadyCompressed;
    if (!image->compatible())
        return CompressionBadInput;

    const int zlevel = zstdLevelFor(level);
    const auto& entries = image->chunks();
    std::vector<vrx::VrxWriter::Chunk> chunks(entries.size());
    std::atomic<std::size_t> next { 0 };
    std::exception_ptr failure;
    std::mutex failureMutex;
    bool badInput = false;

    auto work = [&] {
        // One zstd context per worker for all its frames, gone when the worker ends.
        const std::unique_ptr<ZSTD_CCtx, std::size_t (*)(ZSTD_CCtx*)> context(
            ZSTD_createCCtx(), ZSTD_freeCCtx);
        for (std::size_t i = next++; i < entries.size(); i = next++) {
            try {
                const auto& e = entries[i];
                vrx::VrxWriter::Chunk& out = chunks[i];
                out.type = e.type;
                out.index = e.index;
                auto payload
                    = image->source().bytes(e.payload.offset, static_cast<std::size_t>(e.payload.length));
                if (e.type == "RAW ") {
                    vrx::ByteReader r(payload.data(), payload.size(), "raw frame");
                    const std::int32_t module = r.i32();
                    const std::int32_t frame = r.i32();
                    r.skip(8);
                    const std::int32_t encoding = r.i32();
                    if (encoding == vrx::RawPlain) {
                        const auto samples = image->decodeFrame(module, frame); // checks the CRC
                        const vrx::ModuleInfo& m = image->module(module);
                        out.payload = vrx::VrxWriter::encodeFrame(
                            m, frame, samples, vrx::RawDeltaZstd, zlevel, context.get());
                        if (verify) {
                            const auto back
                                = vrx::RawCodec::decode(out.payload.data() + vrx::format::kFrameHeaderSize,
                                    out.payload.size() - vrx::format::kFrameHeaderSize, m.width, m.height);
                            if (back != samples)
                                throw std::logic_error("Compressed frame does not decode to its samples");
                        }
                        continue;
                    }
                    image->decodeFrame(module, frame); // an already packed frame must be intact too
                }
                // Every chunk copied is checked first: the output gets fresh checksums, so a
                // damaged chunk would otherwise come out looking valid.
                if (vrx::crc32(payload.data(), payload.size()) != e.payload.crc)
                    throw std::runtime_error("Chunk checksum mismatch");
                out.payload = std::move(payload);
            } catch (const std::runtime_error&) {
                std::lock_guard<std::mutex> lock(failureMutex);
                badInput = true;
            } catch (...) {
                std::lock_guard<std::mutex> lock(failureMutex);
                if (!failure)
                    failure = std::current_exception();
            }
        }
    };

    unsigned workers = threads > 0 ? static_cast<unsigned>(threads) : static_cast<unsigned>(usableCpuCount());
    workers = std::max(1u, std::min(workers, 8u));
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < workers; ++i)
        pool.emplace_back(work);
    work();
    for (auto& t : pool)
        t.join();
    if (failure)
        std::rethrow_exception(failure);
    if (badInput)
        return CompressionBadInput;

    std::vector<std::uint8_t> bytes = vrx::VrxWriter::assemble(
        image->majorVersion(), image->minorVersion(), image->flags() | vrx::format::kFlagCompressed, chunks);
    // Anything after the container (an appendix) is kept as it was.
    const std::uint64_t size = image->source().size();
    if (size > image->containerLength()) {
        const auto tail = image->source().bytes(
            image->containerLength(), static_cast<std::size_t>(size - image->containerLength()));
        bytes.insert(bytes.end(), tail.begin(), tail.end());
    }
    output->clear();
    output->seekp(0, std::ios_base::beg);
    output->write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    output->flush();
    if (!*output)
        throw std::runtime_error("Could not write the compressed file");
    return CompressionSuccess;
}

} // namespace qzCompress

#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>
#include <vector>

#include "ciapi/bytesource.h"
#include "ciapi/vrx/vrximage.h"

namespace ostra::test {

// Every frame of every module of a raw picture, decoded: what a compressed copy must keep.
inline std::vector<std::vector<std::uint16_t>> rawSamples(const QByteArray& bytes)
{
    std::vector<std::vector<std::uint16_t>> out;
    auto image = CIAPI::vrx::VrxImage::open(CIAPI::ByteSource::fromMemory(
        reinterpret_cast<const std::uint8_t*>(bytes.constData()), size_t(bytes.size())));
    for (const auto& m : image->modules())
        for (int f = 0; f < image->framesOf(m.index); ++f)
            out.push_back(image->decodeFrame(m.index, f));
    return out;
}

inline std::vector<std::vector<std::uint16_t>> rawSamplesOf(const QString& path)
{
    QFile f(path);
    return rawSamples(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
}

} // namespace ostra::test

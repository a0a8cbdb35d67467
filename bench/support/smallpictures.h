#pragma once

// Folders of small pictures for the memory benchmarks, made on every CPU.

#include "tools/vrxgen/generator.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QtConcurrent/QtConcurrentMap>

#include <atomic>
#include <cstdint>
#include <vector>

namespace bench {

// `count` pictures of 160x120 modules, "P00001.vrx" on, each of its own seed.
inline bool makeSmallPictures(const QString& folder, int count)
{
    QDir().mkpath(folder);
    std::vector<int> seeds(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        seeds[size_t(i)] = i + 1;
    std::atomic<int> failed { 0 };
    QtConcurrent::blockingMap(seeds, [&](int seed) {
        vrxgen::PictureOptions o;
        o.seed = std::uint32_t(seed);
        o.moduleWidth = 160;
        o.moduleHeight = 120;
        const QString path = QStringLiteral("%1/P%2.vrx").arg(folder).arg(seed, 5, 10, QLatin1Char('0'));
        if (!vrxgen::writeFile(QFile::encodeName(path).toStdString(), vrxgen::makePicture(o).vrx))
            ++failed;
    });
    return failed == 0;
}

} // namespace bench

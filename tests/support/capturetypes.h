#pragma once

#include <QHash>
#include <QList>
#include <QMetaType>

#include "capture/capturedimage.h"
#include "capture/videosmodel.h"
#include "core/progressratio.h"
#include "pipeline/ifilesink.h"
#include "pipeline/interfaces/recipe.h"

namespace ostra::test {

// The types the camera transports and sessions send through queued connections.
inline void registerCaptureTypes()
{
    qRegisterMetaType<QList<CapturedImage>>();
    qRegisterMetaType<Recipe>();
    qRegisterMetaType<ProgressRatio>("ProgressRatio");
    qRegisterMetaType<IFileSink::Error>();
    qRegisterMetaType<VideosModel::DownloadRequest>();
    qRegisterMetaType<VideosModel::DownloadResultError>();
    qRegisterMetaType<QHash<QString, VideosModel::VideoMetadata>>();
    qRegisterMetaType<uint32_t>("uint32_t");
}

} // namespace ostra::test

#pragma once

#include "ciapi/image.h"

#include <QMetaType>
#include <QUrl>

#include <memory>

class ImagePlanes;

// One render output, passed by value from the engine's threads to listeners.
class VrxMessage
{
public:
    // Who produced an output.
    enum Kind : int {
        KindNone = 0, // a keeper that has kept nothing yet
        KindBatch = 2, // batch edits
        KindViewer = 12 // every output of a viewer or editor
    };

    // An output of `region` of `level` of `pyramid` for the file at `url`.
    static VrxMessage output(
        const QUrl& url, int kind, const CIAPI::ImagePyramid& pyramid, const CIAPI::ROI& region, int level)
    {
        VrxMessage m;
        m.location = url;
        m.kind = kind;
        m.pyramid = pyramid;
        m.region = region;
        m.level = level;
        return m;
    }

    QUrl location;
    int kind = KindNone;
    CIAPI::ImagePyramid pyramid;
    // Shared texture planes a display item may draw from; no producer fills it.
    std::weak_ptr<ImagePlanes> state;
    int level = -1;
    CIAPI::ROI region;
};

Q_DECLARE_METATYPE(VrxMessage)

#pragma once

#include "ciapi/transform.h"

#include <QDateTime>
#include <QMetaType>
#include <QUrl>
#include <QUuid>

#include <cstdint>
#include <utility>
#include <vector>

namespace CIAPI {
class PropertyAccessor;
class RendererBase;
class StateFileEditor;
} // namespace CIAPI

// What the rest of the program knows about one VRX file. A plain value: each task fills
// its own copy and passes copies between threads.
class VrxMetadata
{
public:
    // A file name containing this text is treated as incompatible.
    static constexpr const char* kIncompatibleMarker = "5f0c9e2a7b3d41e68a9c0d2f4b6e8a1c";

    QUrl location;
    bool invalid = true;
    bool incompatible = false;
    int frameCount = 0;
    bool compressed = false;
    QUuid deviceUuid;
    QUuid imageUuid;
    QDateTime captureTime;
    int outputWidth = 4;
    int outputHeight = 3;
    int aspectMode = 0;
    CIAPI::Transform transform;
    qint64 fileSize = 0;
    qint64 extra = 0;
    int depthType = 0;
    int userRating = 0;
    bool hasDepthEdits = false;
    bool transformFromState = false;
    // Why the file could not be read (empty when it could or nothing was said).
    QString problem;

    // Starts the record of a file before any engine read.
    void resetFromFile(const QUrl& url);
    // Takes the facts kept in the file's state file.
    void readStateFileMetadata(const CIAPI::StateFileEditor& editor);
    // Takes the raw file's facts through an accessor whose input is set.
    void readFrom(const CIAPI::PropertyAccessor& accessor);
    // The same through an open renderer.
    void readRendererMetadata(const CIAPI::RendererBase& renderer);

    // The output size for a focal length in mm (the engine's level-0 size); throws
    // std::runtime_error "Invalid focal length!" outside [0, 150].
    static std::pair<int, int> cropSizeForFocalLength(float focalLength);
    // An aspect a picture can have: both terms in 1..1000, the longer side at most four
    // times the shorter (4:3, 16:9 and their turned forms, with room to spare).
    static bool isSaneAspect(const CIAPI::Point<int>& aspect);

    // The camera's identity from the engine's camera UUID words: the first sixteen bytes
    // read as two little-endian 64-bit words. Every part of the program that names a
    // camera (metadata, calibration store, import marks) packs it through this.
    static QUuid cameraUuidFromWords(const std::vector<uint32_t>& words);
    // The capture time the engine reports (seconds since the epoch, offset from UTC in
    // minutes) as a date-time; invalid when the file's clock says what no camera clock can:
    // a year outside 1 to 9999 or an offset beyond 18 hours either way.
    static QDateTime captureTimeFrom(qint64 seconds, qint64 offsetMinutes);

private:
    template <class Source> void readFacts(const Source& source);
};

Q_DECLARE_METATYPE(VrxMetadata)

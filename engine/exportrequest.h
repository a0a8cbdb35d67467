#pragma once

#include <QSize>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

namespace CIAPI {
class ImagePyramid;
struct RectF;
} // namespace CIAPI
class ImageWriter;
class StreamPart;

// One queued export (or background-processing) job for one picture.
struct ExportRequest
{
    QUrl location;
    int format = 0; // engine export format: 0 JPEG, 1 PPM, 2 DNG, 3 HDR
    int sizeMode = 0; // Export::SizeUnit; 0 is a background-processing request
    int sizeValue = 0;
    QSize size;
    int hiFi = 0;
    QString path;
    std::shared_ptr<StreamPart> source;
    // Makes the source where the request is written when none was given (resolving the
    // file's path asks the file system).
    std::function<std::shared_ptr<StreamPart>()> makeSource;

    bool isExport() const { return sizeMode != 0; }
    // Same format and size settings (the picture and the path not compared).
    bool sameSettings(const ExportRequest& other) const;

    // The order of one file's requests: exports before background processing, then the
    // greater path first, then the lower format, size mode, size value, width, height and
    // hi-fi. Requests that differ in none of these are the same entry.
    struct Order
    {
        bool operator()(const ExportRequest& a, const ExportRequest& b) const;
    };
};

// The size requested from the engine for a picture's output pyramid: by size mode, then
// cut by the width and height fractions of the part of the unturned picture that is kept
// (pictureCropFromFrame). Empty for mode 0 and unknown modes; std::out_of_range for a
// level the pyramid does not have.
QSize exportOutputSize(
    const ExportRequest& request, const CIAPI::ImagePyramid& pyramid, const CIAPI::RectF& crop);

// Renders the writer's open picture into the request's file. Throws std::runtime_error
// "Unexpected export format!" for an unknown format and "Couldn't open file for writing!"
// when the path cannot be written; otherwise returns the engine's result. The output is
// written beside the path and takes its name only when whole and durable: a failed write
// (or a crash) leaves the file that had the name as it was, or no file.
bool exportImage(ImageWriter& writer, const ExportRequest& request, std::function<void(int)> progress);

// Copies the export at `from` to the file `to` the way exportImage() writes: beside it under
// a hidden name, made durable and renamed over the name. False when that failed (or `to` is
// no file); whatever had the name then stays as it was, and nothing is left beside it.
bool copyExport(const QString& from, const QString& to);

#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QUrl>
#include <QUuid>

#include "capture/videosmodel.h"

// What a capture session reads of a camera's files: a preview's EXIF values, a state
// file's rating, "metadata.xml" and the camera named by its calibration. The files may sit
// on the camera's card, so the session reads them off the GUI thread: these read only the
// file they are given and touch nothing else, on any thread.
class CaptureFileReader
{
public:
    struct Preview
    {
        bool read = false; // false: not readable, or its EXIF data is broken
        int width = 4; // as displayed (swapped for orientations 5 to 8)
        int height = 3;
        int orientation = 1;
        QUuid image;
        QString dateTime;
    };
    struct State
    {
        int rating = 0;
        bool edited = false; // it holds an edited preview
    };
    struct Metadata
    {
        bool read = false;
        QHash<QString, int> stars; // by picture file name
        QHash<QString, VideosModel::VideoMetadata> videos; // by video file name
    };

    static Preview readPreview(const QUrl& location);
    static State readState(const QString& path);
    static Metadata readMetadata(const QString& path);
    static QUuid readCalibrationCamera(const QString& path);
};

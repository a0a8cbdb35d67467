#pragma once

#include <QMetaType>

#include "engine/iheaders.h"

// A source of per-file gallery values that announces its changes. `modified` comes
// before a non-empty row is replaced or changed, `resolved` after a row was stored or
// changed; a file's first row is announced by `resolved` alone. Receivers that keep
// files sorted by these values connect directly, so they see `modified` while the old
// row still answers.
class IResolver : public IHeaders
{
    Q_OBJECT
public:
    // The roles of the image service's rows.
    enum Role {
        Id = 257, // "row_id": named, never present in a row
        Name, // "name": base name of the local file (QString)
        Timestamp, // "timestamp": capture time, ISO 8601 with milliseconds (QString)
        DeviceUUID, // "deviceUUID": camera UUID, 16 bytes (QByteArray)
        ImageUUID, // "imageUUID": picture UUID, 16 bytes (QByteArray)
        Location, // "filePath": the file URL as text (QString)
        Rating, // "rating": user rating (int)
        Edited, // "edited": the state holds depth edits (bool)
        AspectWidth, // "aspectWidth": displayed width (double)
        AspectHeight, // "aspectHeight": displayed height (double)
        Crop, // "crop": normalised crop rectangle (QRectF)
        Downscale, // "downscale": factors fitting the crop into 2.1:1 (QSizeF)
        Matrix, // "matrix": the picture's transform (QMatrix)
        RealWidth, // "realWidth": aspect ratio x (int)
        RealHeight, // "realHeight": aspect ratio y (int)
        LargeDimension, // "largeDim": output width (int)
        SmallDimension, // "smallDim": output height (int)
        Invalid, // "invalid": the file could not be read (bool)
        Incompatible, // "incompatible": the engine cannot process the file (bool)
        FrameCount, // "frameCount": number of frames (int)
        Compressed, // "compressed": the file is in compressed form (bool)
        FileSize, // "fileSize": size in bytes (qint64)
        Problem // "problem": why the file cannot be shown, empty when it can (QString)
    };
    Q_ENUM(Role)

    explicit IResolver(QObject* parent = nullptr)
        : IHeaders(parent)
    { }

    // Role number to name for every `Role`, the names as Latin-1 bytes.
    static QHash<int, QByteArray> imageRoleNames()
    {
        static const char* const names[] = { "row_id", "name", "timestamp", "deviceUUID", "imageUUID",
            "filePath", "rating", "edited", "aspectWidth", "aspectHeight", "crop", "downscale", "matrix",
            "realWidth", "realHeight", "largeDim", "smallDim", "invalid", "incompatible", "frameCount",
            "compressed", "fileSize", "problem" };
        QHash<int, QByteArray> table;
        int role = Id;
        for (const char* name : names)
            table.insert(role++, QByteArray(name));
        return table;
    }

signals:
    void modified(QUrl location);
    void resolved(QUrl location);
};

Q_DECLARE_METATYPE(IResolver*)

#pragma once

#include "ciapi/transform.h"

#include <QMetaType>
#include <QString>
#include <QVariant>
#include <QVector>

class ImageProperties;

// What a batch edit replaced in one picture, as a plain value that may cross threads: the
// values it overwrote and, when it turned or cropped the picture, the geometry before.
struct PatchUndo
{
    struct Value
    {
        QString name;
        int parameter = 0;
        QVariant value;
    };
    QVector<Value> values;
    CIAPI::Transform transform;
    int orientation = 0;
    bool rotationAndMirror = false;
    bool crop = false;

    bool isEmpty() const { return values.isEmpty() && !rotationAndMirror && !crop; }
    // The record an apply left in `undo`.
    static PatchUndo from(const ImageProperties& undo);
    // Makes `patch` (a fresh object) the patch that puts the replaced values back.
    void fill(ImageProperties& patch) const;
};

Q_DECLARE_METATYPE(PatchUndo)

#pragma once

#include <QMetaType>
#include <QObject>
#include <QSize>

// Names the export formats and size modes for the QML side.
class Export : public QObject
{
    Q_OBJECT

public:
    // One bit per engine export format 0 to 3.
    enum Format { JPEG = 1, PPM = 2, DNG = 4, HDR = 8 };
    Q_ENUM(Format)

    // How the output size is chosen: no output (the engine parameters only), an explicit
    // size, a pyramid level, megapixels, or the length of the short side.
    enum SizeUnit { DepthOnly = 0, Literal = 1, Level = 2, MPx = 3, MinDimP = 4 };
    Q_ENUM(SizeUnit)

    // The size argument of an export request.
    struct SizeSpec
    {
        SizeUnit unit = DepthOnly;
        int value = 0;
        QSize size;
    };

    explicit Export(QObject* parent = nullptr)
        : QObject(parent)
    { }
};

Q_DECLARE_METATYPE(Export::SizeSpec)

#pragma once

#include <QMutex>
#include <QRectF>
#include <QVariantList>

#include <vector>

class ImagePlanesNode;

// The red, green, blue and mean counts of the drawn picture under the crop: counted on the
// render thread from the coarsest level's plane, read on the GUI thread.
class CanvasHistogram
{
public:
    enum class Count {
        Counted, // new counts are kept
        Arriving, // the plane is still receiving pixels: count again on a later frame
        Unchanged, // nothing to count anew
    };

    CanvasHistogram();

    // Render thread.
    Count count(ImagePlanesNode& planes, const QRectF& crop);
    // All counts zero (no picture counted). Any thread.
    void clear();
    // Four lists of 256 integers, in the order red, green, blue, mean. Any thread.
    QVariantList toVariantList() const;

private:
    mutable QMutex m_mutex;
    std::vector<std::vector<quint32>> m_bins;
};

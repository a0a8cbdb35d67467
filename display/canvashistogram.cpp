#include "display/canvashistogram.h"

#include "display/imageplanenode.h"
#include "display/imageplanesnode.h"

#include <algorithm>
#include <climits>

CanvasHistogram::CanvasHistogram()
    : m_bins(4, std::vector<quint32>(256, 0u))
{ }

CanvasHistogram::Count CanvasHistogram::count(ImagePlanesNode& planes, const QRectF& crop)
{
    std::vector<std::vector<quint32>> bins;
    if (planes.computeHistogram(bins, crop)) {
        QMutexLocker lock(&m_mutex);
        m_bins.swap(bins);
        return Count::Counted;
    }
    if (planes.levelCount() > 0 && planes.levelNode(planes.levelCount() - 1)->changed())
        return Count::Arriving;
    return Count::Unchanged;
}

void CanvasHistogram::clear()
{
    QMutexLocker lock(&m_mutex);
    for (std::vector<quint32>& counts : m_bins)
        std::fill(counts.begin(), counts.end(), 0u);
}

QVariantList CanvasHistogram::toVariantList() const
{
    QMutexLocker lock(&m_mutex);
    QVariantList channels;
    for (const std::vector<quint32>& counts : m_bins) {
        QVariantList list;
        list.reserve(int(counts.size()));
        for (quint32 count : counts)
            list.append(int(qMin<quint32>(count, quint32(INT_MAX))));
        channels.append(QVariant(list));
    }
    return channels;
}

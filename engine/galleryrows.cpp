#include "engine/galleryrows.h"

#include <QFileInfo>
#include <QMatrix>
#include <QRectF>
#include <QSizeF>

namespace {

// Pictures wider or taller than this are shown as a window of this ratio.
constexpr float kMaxAspect = 2.1f;

QMap<int, QVariant> buildRow(const QUrl& url, const VrxMetadata& record)
{
    const CIAPI::Point<int> aspect = record.transform.aspectRatio();
    const CIAPI::RectF crop = record.transform.crop();
    const int largeDim = record.outputWidth;

    // Factors that fit a very wide or very tall crop into kMaxAspect.
    float widthFactor = 1.f;
    float heightFactor = 1.f;
    if (crop.width > crop.height * kMaxAspect)
        widthFactor = crop.height * kMaxAspect / crop.width;
    if (crop.height > crop.width * kMaxAspect)
        heightFactor = crop.width * kMaxAspect / crop.height;

    // In 64 bits: the aspect comes from files (the record checks it, this does not overflow anyway).
    const double croppedWidth = double(qint64(largeDim) * aspect.x) * double(crop.width);
    const double croppedHeight = double(qint64(largeDim) * aspect.y) * double(crop.height);

    const std::vector<float> m = record.transform.matrix(aspect);

    QMap<int, QVariant> row;
    row.insert(IResolver::Name, QFileInfo(url.toLocalFile()).baseName());
    row.insert(IResolver::Timestamp, record.captureTime.toString(Qt::ISODateWithMs));
    row.insert(IResolver::DeviceUUID, record.deviceUuid.toRfc4122());
    row.insert(IResolver::ImageUUID, record.imageUuid.toRfc4122());
    row.insert(IResolver::Location, url.toString());
    row.insert(IResolver::Downscale, QSizeF(widthFactor, heightFactor));
    row.insert(IResolver::AspectWidth, double(widthFactor) * croppedWidth);
    row.insert(IResolver::AspectHeight, double(heightFactor) * croppedHeight);
    row.insert(IResolver::RealWidth, aspect.x);
    row.insert(IResolver::RealHeight, aspect.y);
    row.insert(IResolver::Crop, QRectF(crop.x, crop.y, crop.width, crop.height));
    row.insert(IResolver::Matrix, QMatrix(m[0], m[1], m[3], m[4], m[2], m[5]));
    row.insert(IResolver::LargeDimension, record.outputWidth);
    row.insert(IResolver::SmallDimension, record.outputHeight);
    row.insert(IResolver::Invalid, record.invalid);
    row.insert(IResolver::Incompatible, record.incompatible);
    row.insert(IResolver::FrameCount, record.frameCount);
    row.insert(IResolver::Compressed, record.compressed);
    row.insert(IResolver::FileSize, record.fileSize);
    row.insert(IResolver::Edited, record.hasDepthEdits);
    row.insert(IResolver::Rating, record.userRating);
    row.insert(IResolver::Problem, record.invalid ? record.problem : QString());
    return row;
}

} // namespace

GalleryRows::GalleryRows(QObject* parent)
    : QObject(parent)
    , m_roleNames(IResolver::imageRoleNames())
{ }

bool GalleryRows::change(const QUrl& url, const QMap<int, QVariant>& values)
{
    const auto row = m_rows.find(url);
    if (row == m_rows.end() || row.value().values.isEmpty())
        return false;
    const quint64 stamp = ++m_clock;
    emit modified(url);
    for (auto it = values.begin(); it != values.end(); ++it) {
        row.value().values.insert(it.key(), it.value());
        row.value().changed.insert(it.key(), stamp);
    }
    emit resolved(url);
    return true;
}

void GalleryRows::dropEmpty()
{
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (it.value().values.isEmpty())
            it = m_rows.erase(it);
        else
            ++it;
    }
}

bool GalleryRows::store(const QUrl& url, const VrxMetadata& record, quint64 readStamp)
{
    auto it = m_rows.find(url);
    if (it == m_rows.end())
        it = m_rows.insert(url, Row());
    Row& row = it.value();
    // A read that began later looked at the file later.
    if (readStamp < row.readStamp)
        return false;
    row.readStamp = readStamp;
    QMap<int, QVariant> fresh = buildRow(url, record);
    // A value changed here after this read began may not have been in the file yet when
    // it was read; one changed before, the read has seen.
    for (auto c = row.changed.begin(); c != row.changed.end();) {
        if (c.value() > readStamp) {
            fresh.insert(c.key(), row.values.value(c.key()));
            ++c;
        } else {
            c = row.changed.erase(c);
        }
    }
    if (row.values == fresh)
        return true;
    // Receivers connected directly still read the old row while they handle this.
    if (!row.values.isEmpty())
        emit modified(url);
    row.values = fresh;
    emit resolved(url);
    return true;
}

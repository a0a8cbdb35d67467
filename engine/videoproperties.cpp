#include "engine/videoproperties.h"

VideoProperties::VideoProperties(QObject* parent)
    : Z40ElementProperties(parent)
{ }

void VideoProperties::setDuration(int duration)
{
    if (m_duration == duration)
        return;
    m_duration = duration;
    emit durationChanged();
}

void VideoProperties::setRating(int rating)
{
    if (m_rating == rating)
        return;
    m_rating = rating;
    emit ratingChanged();
}

void VideoProperties::setThumbnailPath(const QString& path)
{
    if (m_thumbnailPath == path)
        return;
    m_thumbnailPath = path;
    emit thumbnailPathChanged();
}

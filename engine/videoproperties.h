#pragma once

#include "engine/z40elementproperties.h"

// What the video list shows of a camera video.
class VideoProperties : public Z40ElementProperties
{
    Q_OBJECT
    Q_PROPERTY(int duration READ duration NOTIFY durationChanged)
    Q_PROPERTY(int rating READ rating NOTIFY ratingChanged)
    Q_PROPERTY(QString thumbnailPath READ thumbnailPath NOTIFY thumbnailPathChanged)

public:
    explicit VideoProperties(QObject* parent = nullptr);

    int duration() const { return m_duration; }
    int rating() const { return m_rating; }
    QString thumbnailPath() const { return m_thumbnailPath; }

    void setDuration(int duration);
    void setRating(int rating);
    void setThumbnailPath(const QString& path);

signals:
    void durationChanged();
    void ratingChanged();
    void thumbnailPathChanged();

private:
    int m_duration = 0;
    int m_rating = 0;
    QString m_thumbnailPath;
};

#pragma once

#include <QString>
#include <QStringView>

// What the gallery orderings compare for one file, read once from its URL and its header
// values and kept until the headers change.
struct FileKey
{
    QString url; // QUrl::toString()
    QString name; // QUrl::fileName(), fully decoded
    QString path; // QUrl::toLocalFile()
    int nameStart = 0; // where the last part of `path` begins
    int folderEnd = -1; // `path` up to here, split at "/", is the folder list; -1: no parts
    int year = 0; // capture day; all 0 without a valid timestamp
    int month = 0;
    int day = 0;
    qint64 msecs = 0; // capture wall-clock time in milliseconds; 0 without a valid timestamp
    int rating = 0;

    // The capture day as one number ordered as [year, month, day].
    qint64 packedDay() const { return (qint64(year) * 16 + month) * 32 + day; }

    QStringView folder() const { return QStringView(path).left(qMax(folderEnd, 0)); }
    QStringView pathName() const { return QStringView(path).mid(nameStart); }
};

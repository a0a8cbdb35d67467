#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QVariantMap>

#include <memory>

class IDriverList;

// Everything one diagnostic report archive holds, copied out of the harvester so that
// it can be filled again while the archive is written on a pool thread.
struct ReportArchive
{
    QString path;
    QJsonObject commonInfo;
    QVariantMap feedback;
    QMap<QString, QByteArray> crashEvents;
    QList<QFileInfo> files;
    QHash<QString, QImage> screenshots;
    std::shared_ptr<IDriverList> drivers;
    int driverTimeoutMs = 30000;

    // Writes the zip archive at `path`; false when it cannot be written. Blocks: the
    // driver list runs on a thread of its own meanwhile (not on the caller's pool). The
    // archive is written at `partialPath` and renamed to `path` when it is complete.
    bool write() const;
    QString partialPath() const { return path + QLatin1String(kPartialSuffix); }

    // Appended to the name of an archive while it is written.
    static constexpr const char* kPartialSuffix = ".part";

    // "yyyyMMddTHHmmss" and the offset of the date-time's zone, as "+0200".
    static QString stamp(const QDateTime& dateTime);
    // The ten-line feedback text.
    static QByteArray feedbackText(const QVariantMap& feedback);
    // Names each crash event "Crash.<stamp>.xml" by its SystemTime, or by a running
    // number when it has none; a later event of the same name replaces the earlier one.
    static QMap<QString, QByteArray> nameCrashEvents(const QList<QByteArray>& events);
};

#include "reports/reportarchive.h"

#include <QBuffer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTextStream>
#include <QTimeZone>
#include <QXmlStreamReader>
#include <QtGui/private/qzipwriter_p.h>

#include <thread>
#include <unistd.h>

#include "reports/idriverlist.h"
#include "reports/logging.h"

namespace {

// The driver list of one report, shared with the thread that builds it so that a
// list that comes too late is simply dropped.
struct DriverRun
{
    QSemaphore done;
    QByteArray csv;
    bool ok = false;
};

QString systemTimeOf(const QByteArray& xml)
{
    QXmlStreamReader reader(xml);
    QStringList path;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            path << reader.name().toString();
            if (path == QStringList { "Event", "System", "TimeCreated" })
                return reader.attributes().value(QLatin1String("SystemTime")).toString();
            break;
        case QXmlStreamReader::EndElement:
            path.removeLast();
            break;
        default:
            break;
        }
    }
    return QString();
}

} // namespace

QString ReportArchive::stamp(const QDateTime& dateTime)
{
    QString offset = dateTime.timeZone().displayName(dateTime, QTimeZone::OffsetName);
    offset.remove(QRegularExpression(QStringLiteral("[A-Za-z:]")));
    return dateTime.toString(QStringLiteral("yyyyMMddTHHmmss")) + offset;
}

QByteArray ReportArchive::feedbackText(const QVariantMap& feedback)
{
    QByteArray text;
    QTextStream stream(&text);
    stream.setCodec("UTF-8");
    const auto value = [&feedback](const char* key) { return feedback.value(QLatin1String(key)).toString(); };
    stream << value("contact") << '\n';
    stream << value("category").toLower() << '\n';
    stream << value("summary") << '\n';
    stream << "Build number: " << value("appVersion") << '\n';
    stream << "Qt version: " << value("qtVersion") << '\n';
    stream << "Operating system: " << value("osPlatform") << '\n';
    stream << "OS version: " << value("osVersion") << '\n';
    stream << "Date and Time on Device: " << value("localTime") << '\n';
    stream << "Installation ID: " << value("installId") << '\n';
    stream << "Report ID: " << value("reportKey") << '\n';
    stream.flush();
    return text;
}

QMap<QString, QByteArray> ReportArchive::nameCrashEvents(const QList<QByteArray>& events)
{
    QMap<QString, QByteArray> named;
    int number = 0;
    for (const QByteArray& xml : events) {
        const QDateTime time = QDateTime::fromString(systemTimeOf(xml), Qt::ISODateWithMs);
        const QString name = time.isValid() ? stamp(time) : QString::number(number++);
        named.insert(QStringLiteral("Crash.") + name + QStringLiteral(".xml"), xml);
    }
    return named;
}

bool ReportArchive::write() const
{
    // The driver list runs on a thread of its own: a pool thread must not wait for
    // more work on its own pool, which may have no other thread.
    auto run = std::make_shared<DriverRun>();
    if (drivers) {
        std::thread([run, list = drivers] {
            QString error;
            run->ok = list->query(run->csv, error);
            if (!run->ok)
                qCWarning(lcReports) << "No driver list:" << error;
            run->done.release();
        }).detach();
    }

    QList<QPair<QString, QByteArray>> pictures;
    for (auto it = screenshots.begin(); it != screenshots.end(); ++it) {
        QByteArray png;
        QBuffer buffer(&png);
        if (buffer.open(QIODevice::WriteOnly) && it.value().save(&buffer, "PNG"))
            pictures.append({ it.key() + QStringLiteral(".png"), png });
        else
            qCWarning(lcReports) << "Can't encode screenshot" << it.key();
    }

    bool hasDrivers = false;
    if (drivers) {
        if (run->done.tryAcquire(1, driverTimeoutMs))
            hasDrivers = run->ok;
        else
            qCWarning(lcReports) << "The driver list took longer than" << driverTimeoutMs << "ms";
    }

    // Written under a name the report listing does not match, and renamed once complete:
    // an archive under its final name is always whole.
    const QString partial = partialPath();
    QZipWriter zip(partial, QIODevice::WriteOnly | QIODevice::Truncate);
    zip.setCompressionPolicy(QZipWriter::AutoCompress);
    zip.addFile(QStringLiteral("CommonInfo.json"), QJsonDocument(commonInfo).toJson(QJsonDocument::Indented));
    zip.addFile(QStringLiteral("UserFeedback.json"),
        QJsonDocument(QJsonObject::fromVariantMap(feedback)).toJson(QJsonDocument::Indented));
    const QDateTime localTime = feedback.value(QStringLiteral("localTime")).toDateTime();
    zip.addFile(
        QStringLiteral("UserFeedback_") + stamp(localTime) + QStringLiteral(".txt"), feedbackText(feedback));
    if (hasDrivers)
        zip.addFile(QStringLiteral("hardware.csv"), run->csv);
    for (auto it = crashEvents.begin(); it != crashEvents.end(); ++it)
        zip.addFile(it.key(), it.value());
    for (const QFileInfo& info : files) {
        QFile file(info.absoluteFilePath());
        if (file.open(QIODevice::ReadOnly))
            zip.addFile(info.fileName(), &file);
        else
            qCWarning(lcReports) << "Can't attach" << info.absoluteFilePath() << file.errorString();
    }
    for (const auto& [name, png] : pictures) {
        if (!png.isEmpty())
            zip.addFile(name, png);
    }
    zip.close();
    if (zip.status() != QZipWriter::NoError) {
        qCWarning(lcReports) << "Can't write the report" << partial << zip.status();
        QFile::remove(partial);
        return false;
    }
    // On the disk before it gets its final name, so that a crash leaves no empty archive.
    QFile written(partial);
    if (!written.open(QIODevice::ReadOnly) || ::fsync(written.handle()) != 0
        || ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData()) != 0) {
        qCWarning(lcReports) << "Can't complete the report" << path << written.errorString();
        QFile::remove(partial);
        return false;
    }
    return true;
}

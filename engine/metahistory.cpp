#include "engine/metahistory.h"
#include "engine/logging.h"

#include "ciapi/propertyaccessor.h"
#include "core/appsettings.h"
#include "core/database.h"
#include "core/replytarget.h"
#include "engine/enginestreams.h"
#include "engine/vrxmetadata.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QThread>

#include <stdexcept>

namespace {

QByteArray uuidBytes(const QUuid& uuid)
{
    return uuid.toRfc4122();
}

QUuid cameraOf(CIAPI::PropertyAccessor& accessor)
{
    return VrxMetadata::cameraUuidFromWords(accessor.getProperty(CIAPI::IntArrayParam::CameraUuid));
}

// The camera a mapped calibration file names; null when it can't be read.
QUuid calibrationCamera(StreamPart& file)
{
    try {
        CIAPI::PropertyAccessor accessor;
        accessor.setInputDataStream(file.data(), size_t(file.length()));
        return cameraOf(accessor);
    } catch (const std::exception& e) {
        qCWarning(lcEngine) << "Can't attribute" << file.fileName() << e.what();
    }
    return {};
}

constexpr int kNameRetries = 64;

} // namespace

Metahistory::Metahistory(QObject* parent)
    : QObject(parent)
    , m_dataFolder(AppSettings::dataStoreFolder())
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    open(AppSettings::historyDatabase());
}

Metahistory::Metahistory(const QString& databasePath, const QString& dataFolder, QObject* parent)
    : QObject(parent)
    , m_dataFolder(dataFolder)
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    open(databasePath);
}

Metahistory::~Metahistory()
{
    m_replies->close();
    // A read that hangs on a camera is left to end on its own.
    m_reads.leave(0);
    if (m_open)
        closeDatabase(m_db, { &m_match, &m_insert, &m_locate, &m_list });
}

void Metahistory::open(const QString& databasePath)
{
    m_open = openDatabase(m_db, databasePath, QStringLiteral(":/schema/db/metahistory.sql"));
    if (!m_open) {
        qCWarning(lcEngine) << "Metahistory: no database" << databasePath;
        return;
    }
    m_match = QSqlQuery(m_db);
    m_match.prepare(QStringLiteral("SELECT * FROM metafiles WHERE deviceUUID=:dev and resourceId=:res and "
                                   "length=:len and checksum=:chk"));
    m_insert = QSqlQuery(m_db);
    m_insert.prepare(
        QStringLiteral("INSERT INTO metafiles (deviceUUID, resourceId, location, position, length, "
                       "checksum, agesourceid) VALUES(:dev, :res, :loc, :pos, :len, :chk, :rel)"));
    m_locate = QSqlQuery(m_db);
    m_locate.prepare(QStringLiteral(
        "SELECT location, position, length FROM metafiles WHERE deviceUUID=:dev and resourceId=:res"));
    m_list = QSqlQuery(m_db);
    m_list.prepare(
        QStringLiteral("SELECT resourceId, location, position, length FROM metafiles WHERE deviceUUID=:dev"));
    loadIndex();
}

void Metahistory::loadIndex()
{
    QSqlQuery all(m_db);
    all.prepare(QStringLiteral(
        "SELECT row_id, deviceUUID, resourceId, location, position, length FROM metafiles ORDER BY row_id"));
    if (!execLogged(all))
        return;
    QMutexLocker lock(&m_mutex);
    m_index.clear();
    while (all.next()) {
        const QUuid device = QUuid::fromRfc4122(all.value(1).toByteArray());
        m_index[device].push_back(Row { all.value(0).toLongLong(), all.value(2).toInt(),
            all.value(3).toString(), all.value(4).toLongLong(), all.value(5).toLongLong() });
    }
}

QVariantList Metahistory::reliabilities() const
{
    QVariantList list;
    for (double r : m_reliabilities)
        list << r;
    return list;
}

QString Metahistory::calibrationFolder() const
{
    return QDir(m_dataFolder).filePath(QStringLiteral("calibration"));
}

Metahistory::Attribution Metahistory::readCaptureIdentity(StreamPart& source)
{
    Attribution attribution;
    try {
        CIAPI::PropertyAccessor accessor;
        attachInputStream(source, accessor);
        attribution.device = cameraOf(accessor);
        qCDebug(lcEngine) << "devId" << attribution.device;
    } catch (const std::exception& e) {
        qCDebug(lcEngine) << "Can't attribute" << source.fileName() << e.what();
    } catch (...) {
        qCDebug(lcEngine) << "Can't attribute" << source.fileName() << "Unknown exception";
    }
    return attribution;
}

Metahistory::Metafiles Metahistory::get(Metahistory::Attribution attribution)
{
    const QUuid device = attribution.device;
    qCDebug(lcEngine) << "get" << device;
    Metafiles result;
    if (device.isNull())
        return result;
    QMutexLocker lock(&m_mutex);
    auto& cached = m_cache[device];
    for (auto it = cached.begin(); it != cached.end(); ++it) {
        if (std::shared_ptr<StreamPart> part = it.value().lock())
            result.insert(it.key(), part);
    }
    if (!result.isEmpty())
        qCDebug(lcEngine) << "cache" << device << result.keys();
    const auto rows = m_index.constFind(device);
    if (rows != m_index.constEnd()) {
        // Newest stored version of each resource first: a camera's latest calibration.
        for (auto row = rows->rbegin(); row != rows->rend(); ++row) {
            if (result.contains(row->resourceId))
                continue;
            qCDebug(lcEngine) << "query" << device << row->location;
            auto part = std::make_shared<StreamPart>(row->location, row->position, row->length);
            qCDebug(lcEngine) << "write" << row->resourceId << row->location;
            result.insert(row->resourceId, part);
            cached.insert(row->resourceId, part);
        }
    }
    QStringList indices;
    for (int key : result.keys())
        indices << QString::number(key);
    qCDebug(lcEngine) << "Resource" << indices.join(QStringLiteral(", "));
    return result;
}

QUuid Metahistory::readCalibrationCamera(const QString& path)
{
    StreamPart file(path);
    return file.map() ? calibrationCamera(file) : QUuid();
}

void Metahistory::offer(QString name, QUrl location)
{
    const int resource = m_resourceNames.indexOf(name);
    if (resource < 0)
        return;
    // The file is on the camera, which may be slow or hang: it is read on the store's
    // reader thread, one offer after another, and stored here when its bytes are in.
    ++m_reading;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const bool started = m_reads.start([this, replies, resource, location] {
        const Read read = readOffer(resource, location);
        replies->post([this, resource, read] {
            --m_reading;
            if (!read.device.isNull())
                put(read.device, resource, reinterpret_cast<const uchar*>(read.bytes.constData()),
                    read.bytes.size(), 3);
        });
    });
    if (!started)
        --m_reading;
}

Metahistory::Read Metahistory::readOffer(int resource, const QUrl& location)
{
    Read read;
    StreamPart file(location.toLocalFile());
    if (!file.map()) {
        qCWarning(lcEngine) << "Metahistory: can't read" << location;
        return read;
    }
    if (resource != 0)
        return read;
    const FaultCheck faults(&file);
    const QUuid device = calibrationCamera(file);
    if (device.isNull())
        return read;
    // A copy taken first, kept only when the file did not shrink while it was read.
    QByteArray bytes(reinterpret_cast<const char*>(file.data()), int(file.length()));
    if (faults.failed()) {
        qCWarning(lcEngine) << "Metahistory: cut short while read" << location;
        return read;
    }
    read.device = device;
    read.bytes = bytes;
    return read;
}

void Metahistory::put(const QUuid& device, int resource, const uchar* data, qint64 length, int reliability)
{
    if (!data || length <= 0)
        return;
    QByteArray bytes(reinterpret_cast<const char*>(data), int(length));
    if (QThread::currentThread() != thread()) {
        // The table belongs to this object's thread.
        QMetaObject::invokeMethod(
            this,
            [this, device, resource, bytes, reliability] { doPut(device, resource, bytes, reliability); },
            Qt::QueuedConnection);
        return;
    }
    doPut(device, resource, bytes, reliability);
}

QString Metahistory::writeCopy(int resource, const uchar* data, qint64 length)
{
    QDir dir(m_dataFolder);
    if (!dir.mkpath(QStringLiteral("calibration")) || !dir.cd(QStringLiteral("calibration")))
        return QString();
    // Copies are only ever created, never written over: two in one millisecond take the
    // next free name, and a copy some reader still has mapped is never touched.
    qint64 stamp = QDateTime::currentMSecsSinceEpoch();
    for (int attempt = 0; attempt < kNameRetries; ++attempt, ++stamp) {
        const QString path = dir.absoluteFilePath(
            QString::number(stamp, 16) + QLatin1Char('_') + m_resourceNames.value(resource));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (QFile::exists(path))
                continue;
            qCWarning(lcEngine) << "Metahistory: can't create" << path << file.errorString();
            return QString();
        }
        const qint64 written = file.write(reinterpret_cast<const char*>(data), length);
        if (written != length || !file.flush()) {
            qCWarning(lcEngine) << "Metahistory: can't write" << path << file.errorString();
            file.close();
            QFile::remove(path);
            return QString();
        }
        return path;
    }
    qCWarning(lcEngine) << "Metahistory: no free name in" << dir.absolutePath();
    return QString();
}

void Metahistory::doPut(const QUuid& device, int resource, const QByteArray& bytes, int reliability)
{
    qCDebug(lcEngine) << "put" << device << resource;
    if (!m_open)
        return;
    const quint16 checksum = qChecksum(bytes.constData(), uint(bytes.size()), Qt::ChecksumIso3309);
    m_match.bindValue(QStringLiteral(":dev"), uuidBytes(device));
    m_match.bindValue(QStringLiteral(":res"), resource);
    m_match.bindValue(QStringLiteral(":len"), qint64(bytes.size()));
    m_match.bindValue(QStringLiteral(":chk"), checksum);
    if (execLogged(m_match) && m_match.next()) {
        m_match.finish();
        return;
    }
    m_match.finish();

    qCDebug(lcEngine) << "doPut" << device << resource;
    const QString path = writeCopy(resource, reinterpret_cast<const uchar*>(bytes.constData()), bytes.size());
    if (path.isEmpty())
        return;
    m_insert.bindValue(QStringLiteral(":dev"), uuidBytes(device));
    m_insert.bindValue(QStringLiteral(":res"), resource);
    m_insert.bindValue(QStringLiteral(":loc"), path);
    m_insert.bindValue(QStringLiteral(":pos"), 0);
    m_insert.bindValue(QStringLiteral(":len"), qint64(bytes.size()));
    m_insert.bindValue(QStringLiteral(":chk"), checksum);
    m_insert.bindValue(QStringLiteral(":rel"), reliability);
    const bool stored = execLogged(m_insert);
    qCDebug(lcEngine) << "stored" << stored << "note" << m_insert.lastError().text();
    if (stored) {
        const qint64 rowId = m_insert.lastInsertId().toLongLong();
        QMutexLocker lock(&m_mutex);
        m_index[device].push_back(Row { rowId, resource, path, 0, qint64(bytes.size()) });
    }
    {
        QMutexLocker lock(&m_mutex);
        m_cache[device].remove(resource);
    }
    emit notifyUpdatedForDevice(device, resource);
}

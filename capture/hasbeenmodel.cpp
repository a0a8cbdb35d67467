#include "capture/hasbeenmodel.h"
#include "capture/logging.h"

#include "core/appsettings.h"
#include "core/database.h"
#include "engine/iimageservice.h"

#include <QVariant>

HasBeenModel::HasBeenModel(QObject* parent)
    : QObject(parent)
{
    open(AppSettings::hasBeenDatabase());
}

HasBeenModel::HasBeenModel(const QString& path, QObject* parent)
    : QObject(parent)
{
    open(path);
}

HasBeenModel::~HasBeenModel()
{
    if (m_open)
        closeDatabase(m_db, { &m_pair, &m_image, &m_insert });
}

void HasBeenModel::open(const QString& path)
{
    m_open = openDatabase(m_db, path, QStringLiteral(":/schema/db/uuids.sql"));
    if (!m_open) {
        qCWarning(lcCapture) << "No database of imported pictures" << path;
        return;
    }
    m_pair = QSqlQuery(m_db);
    m_image = QSqlQuery(m_db);
    m_insert = QSqlQuery(m_db);
    m_open = m_pair.prepare(QStringLiteral("SELECT * FROM uuids WHERE deviceUUID=:dev and imageUUID=:img"))
        && m_image.prepare(QStringLiteral("SELECT * FROM uuids WHERE imageUUID=:img"))
        && m_insert.prepare(QStringLiteral("INSERT INTO uuids VALUES(:dev, :img)"));
    if (!m_open)
        qCWarning(lcCapture) << "Database of imported pictures unusable" << path;
}

bool HasBeenModel::hasBeen(QUuid dev, QUuid img)
{
    if (!m_open || img.isNull())
        return false;
    QSqlQuery& query = dev.isNull() ? m_image : m_pair;
    if (!dev.isNull())
        query.bindValue(QStringLiteral(":dev"), dev.toRfc4122());
    query.bindValue(QStringLiteral(":img"), img.toRfc4122());
    const bool found = execLogged(query) && query.next();
    query.finish();
    return found;
}

void HasBeenModel::markBeen(QUuid dev, QUuid img)
{
    if (m_open && !dev.isNull() && !img.isNull()) {
        m_insert.bindValue(QStringLiteral(":dev"), dev.toRfc4122());
        m_insert.bindValue(QStringLiteral(":img"), img.toRfc4122());
        // A pair marked before fails on the constraint and stays as it is.
        m_insert.exec();
        m_insert.finish();
    }
    emit notifyHasBeen(dev, img);
}

void HasBeenModel::markBeenFromMetadata(VrxMetadata metadata)
{
    markBeen(metadata.deviceUuid, metadata.imageUuid);
}

void HasBeenModel::expectValidation(QUrl target)
{
    m_expected.insert(IImageService::fileKey(target));
}

void HasBeenModel::markValidated(VrxMetadata metadata)
{
    const QUrl key = IImageService::fileKey(metadata.location);
    if (metadata.invalid || !m_expected.contains(key))
        return;
    m_expected.remove(key);
    markBeenFromMetadata(metadata);
}

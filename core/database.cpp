#include "core/database.h"
#include "core/logging.h"
#include "core/resources.h"

#include <QAtomicInteger>
#include <QFile>
#include <QSqlQuery>
#include <QVariant>

namespace {

QString uniqueConnectionName(const QString& path)
{
    static QAtomicInteger<quint64> serial;
    return QStringLiteral("ostra-%1-%2").arg(serial.fetchAndAddRelaxed(1) + 1).arg(path);
}

// The script's text, or a null string when it cannot be read.
QString readScript(const QString& name)
{
    ostra::initResources();
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return QString();
    QString text = QString::fromUtf8(bytes);
    if (text.isNull())
        text = QStringLiteral("");
    return text;
}

void dropConnection(QSqlDatabase& db)
{
    const QString name = db.connectionName();
    db.close();
    db = QSqlDatabase();
    if (!name.isEmpty())
        QSqlDatabase::removeDatabase(name);
}

} // namespace

bool openDatabase(QSqlDatabase& db, const QString& path, const QStringList& schemaFiles)
{
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), uniqueConnectionName(path));
    db.setDatabaseName(path);
    if (!db.open()) {
        qCWarning(lcCore) << "Can't open database" << path;
        dropConnection(db);
        return false;
    }
    for (const QString& schema : schemaFiles) {
        const QString script = readScript(schema);
        if (script.isNull()) {
            qCWarning(lcCore) << "Can't read schema" << schema << "for" << path;
            dropConnection(db);
            return false;
        }
        QSqlError error;
        {
            QSqlQuery query(db);
            query.exec(script);
            error = query.lastError();
        }
        if (error.type() != QSqlError::NoError) {
            qCWarning(lcCore) << "Can't run schema" << schema << "for" << path << ":" << error.text();
            dropConnection(db);
            return false;
        }
    }
    return true;
}

bool openDatabase(QSqlDatabase& db, const QString& path, const QString& schemaFile)
{
    return openDatabase(db, path, QStringList { schemaFile });
}

void closeDatabase(QSqlDatabase& db, std::initializer_list<QSqlQuery*> queries)
{
    for (QSqlQuery* query : queries) {
        if (!query)
            continue;
        query->finish();
        *query = QSqlQuery();
    }
    dropConnection(db);
}

bool execLogged(QSqlQuery& query)
{
    if (query.exec())
        return true;
    QString values = QStringLiteral("QMap(");
    const QMap<QString, QVariant> bound = query.boundValues();
    for (auto it = bound.cbegin(); it != bound.cend(); ++it) {
        QString value;
        QDebug(&value).nospace() << it.value();
        values += QStringLiteral("(") + it.key() + QStringLiteral(", ") + value + QStringLiteral(")");
    }
    values += QStringLiteral(")");
    qCDebug(lcCore).noquote() << query.lastQuery() << values << describeSqlError(query.lastError());
    return false;
}

QString describeSqlError(const QSqlError& error)
{
    return QStringLiteral("%1 %2 %3 %4 %5")
        .arg(int(error.type()))
        .arg(error.text(), error.nativeErrorCode(), error.driverText(), error.databaseText());
}

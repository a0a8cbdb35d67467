#pragma once

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>

#include <initializer_list>

class QSqlQuery;

// Opens the SQLite database at `path` (or ":memory:") under a connection name of its
// own, so several opens of one path, or several in-memory databases, live side by
// side. Then runs each schema script (Qt resource names under ":/schema/db/" or file
// paths) in order. A script that cannot be read, or that fails, closes the
// connection again and gives false.
bool openDatabase(QSqlDatabase& db, const QString& path, const QStringList& schemaFiles);
bool openDatabase(QSqlDatabase& db, const QString& path, const QString& schemaFile);

// Closes a database opened by openDatabase and removes its connection. The given
// queries are finished and emptied first; any other query on the connection must be
// gone already.
void closeDatabase(QSqlDatabase& db, std::initializer_list<QSqlQuery*> queries = {});

// Runs a prepared query; on failure writes one debug line with the statement, its
// bound values and the error, and returns false.
bool execLogged(QSqlQuery& query);

// The error's type (number), text, native code, driver text and database text.
QString describeSqlError(const QSqlError& error);

#pragma once

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QUrl>
#include <QVariant>

// Per-file header values by role number: what the gallery models read for each file.
class IHeaders : public QObject
{
    Q_OBJECT
public:
    explicit IHeaders(QObject* parent = nullptr)
        : QObject(parent)
    { }

    // Role number to role name, for every role a header map may hold.
    virtual const QHash<int, QByteArray>& roleNames() const = 0;
    // The file's values, role number to value; empty while the file is not known yet.
    virtual QMap<int, QVariant> rowFor(QUrl location) = 0;
};

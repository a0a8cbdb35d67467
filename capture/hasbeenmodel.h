#pragma once

#include "engine/vrxmetadata.h"

#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>

// Which camera pictures were imported before: the pairs (camera UUID, picture UUID) of
// every imported picture, kept in a database so the marks survive moves and renames of
// the copies.
class HasBeenModel : public QObject
{
    Q_OBJECT
public:
    // The database named by the "HasBeenDatabase" setting.
    explicit HasBeenModel(QObject* parent = nullptr);
    // The database at `path` (or ":memory:").
    HasBeenModel(const QString& path, QObject* parent);
    ~HasBeenModel() override;

    bool isValid() const { return m_open; }

    // Whether the picture was imported from that camera; from any camera when `dev` is null.
    Q_INVOKABLE bool hasBeen(QUuid dev, QUuid img);

public slots:
    // Records the pair (kept once however often it is marked) and announces it.
    void markBeen(QUuid dev, QUuid img);
    void markBeenFromMetadata(VrxMetadata metadata);

signals:
    void notifyHasBeen(QUuid dev, QUuid img);

private:
    void open(const QString& path);

    QSqlDatabase m_db;
    bool m_open = false;
    QSqlQuery m_pair;
    QSqlQuery m_image;
    QSqlQuery m_insert;
};

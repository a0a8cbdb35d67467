#pragma once

#include "engine/vrxmetadata.h"

#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>
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
    // A copy made by an import, to be verified by the image service: its next valid
    // indexing result (markValidated) marks its picture.
    Q_INVOKABLE void expectValidation(QUrl target);
    int expectedCount() const { return m_expected.size(); }

public slots:
    // Records the pair (kept once however often it is marked) and announces it.
    void markBeen(QUuid dev, QUuid img);
    void markBeenFromMetadata(VrxMetadata metadata);
    // An indexing result: marks the picture when the file is a copy awaiting verification
    // and the record is valid. Any other file (a picture only looked at) is not marked; an
    // invalid result leaves the copy waiting for the next one.
    void markValidated(VrxMetadata metadata);

signals:
    void notifyHasBeen(QUuid dev, QUuid img);

private:
    void open(const QString& path);

    QSqlDatabase m_db;
    bool m_open = false;
    QSqlQuery m_pair;
    QSqlQuery m_image;
    QSqlQuery m_insert;
    QSet<QUrl> m_expected; // file keys of copies awaiting verification
};

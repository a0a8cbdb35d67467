#pragma once

#include "engine/vrxmetadata.h"

#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>
#include <QUuid>

#include <memory>

#include "core/leavableworker.h"

class ReplyTarget;

// Which camera pictures were imported before: the pairs (camera UUID, picture UUID) of
// every imported picture, kept in a database so the marks survive moves and renames of
// the copies. Looked up by index on the GUI thread; new marks are written (and forced to
// the disk) on a writer thread of the model's own, many in one transaction, and count
// from the moment they are made.
class HasBeenModel : public QObject
{
    Q_OBJECT
public:
    // The database named by the "HasBeenDatabase" setting.
    explicit HasBeenModel(QObject* parent = nullptr);
    // The database at `path` (or ":memory:").
    HasBeenModel(const QString& path, QObject* parent);
    // Waits kLeaveMs at most for a write under way; marks not written yet are written
    // here.
    ~HasBeenModel() override;

    static constexpr int kLeaveMs = 2000;

    bool isValid() const { return m_open; }
    // Marks are waiting to be written or being written.
    bool isWriting() const;

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
    struct Pending;
    void open(const QString& path);
    // Starts a write of the marks waiting, unless one is queued already.
    void startWrite();
    // Writes the marks with the connection `db`, in one transaction.
    static bool write(QSqlDatabase& db, const QList<QPair<QByteArray, QByteArray>>& marks);
    bool unsaved(const QUuid& dev, const QUuid& img) const;

    QString m_path;
    QSqlDatabase m_db;
    bool m_open = false;
    QSqlQuery m_pair;
    QSqlQuery m_image;
    QSqlQuery m_insert;
    QSet<QUrl> m_expected; // file keys of copies awaiting verification
    // Marks not yet known to be written (GUI thread): found by hasBeen meanwhile.
    QSet<QPair<QUuid, QUuid>> m_unsaved;
    QSet<QUuid> m_unsavedImages;
    std::shared_ptr<Pending> m_pending; // shared with the writer's tasks
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_writer;
};

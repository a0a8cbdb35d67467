#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QVector>

#include "pipeline/interfaces/recipe.h"
#include "pipeline/interfaces/volume.h"

class FileCopy;

// What became of one local copy of a group.
struct CopyOutcome
{
    QString target;
    Recipe recipe;
    Volume volume;
    bool success = false;
};
Q_DECLARE_METATYPE(CopyOutcome)
Q_DECLARE_METATYPE(QVector<CopyOutcome>)

// Puts the local copies of one destination volume in place on that volume's copy thread
// and reports them in groups. Each copy handed over is written, synced and renamed in
// turn (FileCopy::place); once no copy waits behind it (or the group has grown large or
// old), every folder that received one is synced once, each copy is settled, and the
// whole group is reported in one `settled` signal. A copy is never reported before its
// folder is synced; a failed folder sync fails every copy into that folder.
class CopyGroup : public QObject
{
    Q_OBJECT
public:
    explicit CopyGroup(QObject* parent = nullptr);
    ~CopyGroup() override;

    // A group closes early once it has this many copies, its copies hold this many bytes
    // or it is this old, so that large files are not reported long after they arrived.
    static constexpr int kMaxCopies = 16;
    static constexpr qint64 kMaxBytes = qint64(64) << 20;
    static constexpr int kMaxAgeMs = 500;
    int maxAgeMs = kMaxAgeMs; // tests that count on one group on a slow machine raise it

    // Places the copy and keeps it for the group. Call it on the group's thread, where
    // the copy must live too; the group deletes the copy once it is reported.
    void take(FileCopy* copy);
    // Closes the group now: syncs, settles and reports what was placed so far.
    void flush();

signals:
    // The copies of one group, in the order they were taken.
    void settled(QVector<CopyOutcome> outcomes);

private:
    QList<FileCopy*> m_copies;
    qint64 m_bytes = 0;
    QElapsedTimer m_age;
    bool m_closeQueued = false;
};

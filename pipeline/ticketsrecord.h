#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

#include "core/leavableworker.h"

#include "pipeline/interfaces/iochannel.h"
#include "pipeline/ipipeline.h"
#include "pipeline/trafficticket.h"

class ReplyTarget;

// The open transfer problems that wait for the user, oldest first. Every property reads
// the current ticket (the first one, or an empty ticket when none is open); the pipeline
// dialogs show it and hand the ticket that `resolve` takes out to the pipeline. What the
// disk says of the current ticket's target and folder (their presence, the target's size,
// the free space) is read on a worker each time the current ticket changes, since the
// folder may be on a volume that hangs: until the read is in, the target and folder count
// as absent, the size as 0 and the free space as unknown (-1); factsChanged tells the
// figures read.
class TicketsRecord : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(QUrl target READ target NOTIFY currentChanged)
    Q_PROPERTY(QUrl folder READ folder NOTIFY currentChanged)
    Q_PROPERTY(QUrl volume READ volume NOTIFY currentChanged)
    Q_PROPERTY(QString targetName READ targetName NOTIFY currentChanged)
    Q_PROPERTY(QString folderName READ folderName NOTIFY currentChanged)
    Q_PROPERTY(QString volumeName READ volumeName NOTIFY currentChanged)
    Q_PROPERTY(qlonglong targetSize READ targetSize NOTIFY factsChanged)
    Q_PROPERTY(qlonglong targetFree READ targetFree NOTIFY factsChanged)
    Q_PROPERTY(qlonglong recipeSize READ recipeSize NOTIFY currentChanged)
    Q_PROPERTY(bool targetExists READ targetExists NOTIFY factsChanged)
    Q_PROPERTY(bool folderExists READ folderExists NOTIFY factsChanged)
    Q_PROPERTY(bool isEstimate READ isEstimate NOTIFY currentChanged)
    Q_PROPERTY(bool localScope READ localScope NOTIFY currentChanged)
    Q_PROPERTY(bool driveScope READ driveScope NOTIFY currentChanged)
    Q_PROPERTY(QString subsystem READ subsystem NOTIFY currentChanged)
    Q_PROPERTY(int error READ error NOTIFY currentChanged)
    Q_PROPERTY(QString errorType READ errorType NOTIFY currentChanged)
public:
    // The pipeline's error codes, for the dialogs.
    enum Error {
        NoError = IFileSink::NoError,
        IOPause = IFileSink::IOPause,
        Present = IFileSink::Present,
        CantDel = IFileSink::CantDel,
        Content = IFileSink::Content,
        NoSpace = IFileSink::NoSpace,
        DirLost = IFileSink::DirLost,
        NoWrite = IFileSink::NoWrite,
        NoDrive = IFileSink::NoDrive,
        IOError = IFileSink::IOError,
        SrcLost = IFileSink::SrcLost,
    };
    Q_ENUM(Error)

    explicit TicketsRecord(QObject* parent = nullptr);
    ~TicketsRecord() override;

    int count() const { return m_tickets.size(); }
    const TrafficTicket& current() const;
    QList<TrafficTicket> list() const { return m_tickets; }

    QUrl target() const;
    QUrl folder() const;
    QUrl volume() const;
    QString targetName() const;
    QString folderName() const;
    QString volumeName() const;
    qlonglong targetSize() const;
    qlonglong targetFree() const;
    qlonglong recipeSize() const;
    bool targetExists() const;
    bool folderExists() const;
    bool isEstimate() const;
    bool localScope() const;
    bool driveScope() const;
    QString subsystem() const;
    int error() const;
    QString errorType() const;

    // Makes the folder that holds the current ticket's folder; the folder itself is made
    // by the scheduler's next pass.
    Q_INVOKABLE void mkdirs();

    // Takes the current ticket out, widened to the session (toSameSet) or to everything
    // (toAllSets), together with every other open ticket of the same error that it reaches.
    Q_INVOKABLE TrafficTicket resolve(bool toSameSet, bool toAllSets);
    Q_INVOKABLE TrafficTicket resolve(bool toSameSet);
    Q_INVOKABLE TrafficTicket resolve();

    // Files a ticket. A channel's ticket stands alone for the requests it reaches: it
    // replaces the first open ticket of the same reach and drops the others.
    void file(const TrafficTicket& ticket, bool channelError);
    // The channel works again: its tickets go.
    void dropChannel(const IOChannel& channel);

    // Called on the worker before the disk is asked about a ticket's paths (tests hold it).
    void setReadHook(std::function<void(const QString& path)> hook) { m_readHook = std::move(hook); }

signals:
    void countChanged();
    void currentChanged();
    void factsChanged();

private:
    // Emits what changed compared with the state before an edit.
    void announce(const TrafficTicket& firstBefore, bool hadFirst, int countBefore);
    // The current ticket changed: its facts are read again.
    void currentMoved();
    void readFacts();

    struct Facts
    {
        QString target;
        QString folder;
        bool read = false;
        qint64 size = 0;
        qint64 free = -1;
        bool targetExists = false;
        bool folderExists = false;
    };
    // The facts, when they were read for the current ticket's paths.
    const Facts* facts() const;

    QList<TrafficTicket> m_tickets;
    TrafficTicket m_default;
    Facts m_facts;
    std::function<void(const QString&)> m_readHook;
    LeavableWorker m_reads;
    std::shared_ptr<ReplyTarget> m_replies;
    bool m_reading = false;
    bool m_readAgain = false;
};

#pragma once

#include <QDateTime>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QTimer>
#include <QVariantMap>
#include <QVector>

#include <memory>

#include "core/leavableworker.h"
#include "core/replytarget.h"
#include "pipeline/ipipeline.h"
#include "pipeline/iprovider.h"

// The transfer journal: stands in front of the scheduler (`delegate`) and records every
// queued file and every change that must survive a restart in the table "recipes". At
// start it replays the table into the delegate, so interrupted imports resume. Every
// operation is forwarded to the delegate; the journaled ones write first. GUI thread only.
//
// A batch (`setBatch`) is one transaction. The delegate's batch is closed only once the
// journal has saved it: a batch that could not be saved (a write or the commit failed) is
// rolled back, its writes are kept in order and tried again, first in the next transaction
// and on a timer while nothing else writes, and until they are saved the delegate's batch
// stays open, so the scheduler lets no source delete a picture whose copy the journal does
// not hold yet.
//
// The replay reads the table on the GUI thread and asks the file system about its targets
// (a copy renamed into place before its completion was saved, work files cut off, folders
// to make) on a worker: a destination that hangs holds the worker, never the window. The
// rows reach the delegate, and the delegate starts, once the worker has answered.
class RecipeLogger : public IPipeline
{
    Q_OBJECT
    Q_PROPERTY(IPipeline* delegate READ delegate WRITE setDelegate NOTIFY delegateChanged)
    Q_PROPERTY(QString dbConnString READ dbConnString WRITE setDbConnString NOTIFY dbConnStringChanged)
public:
    explicit RecipeLogger(QObject* parent = nullptr);
    ~RecipeLogger() override;

    IPipeline* delegate() const { return m_delegate; }
    void setDelegate(IPipeline* delegate);
    QString dbConnString() const { return m_dbConnString; }
    // The database file, or ":memory:".
    void setDbConnString(const QString& connString);
    bool isOpen() const { return m_db.isOpen(); }
    // A journal was asked for and could not be opened: nothing is saved, and the delegate's
    // batch stays open (no source deletes anything).
    bool journalMissing() const { return !m_db.isOpen() && !m_dbConnString.isEmpty(); }
    // Journal writes made but not saved yet (their transaction failed): tried again.
    int unsavedCount() const { return m_unsaved.size(); }
    // The replay waits for the file system's answers; the delegate starts after it.
    bool replaying() const { return m_replaying; }

    // Removes unfinished rows older than `days` days, and the rows of finished imports
    // that finished more than `days` days ago.
    Q_INVOKABLE void clean(int days);

    // IFileSink
    void setFront(IFileSink* front) override;
    Q_INVOKABLE void setRoute(QString key, IProvider* provider) override;
    void onVerified(QUrl target, QUuid imageUuid) override;
    IHarvest* claimIndex(QString provider, QString ioChannel, QUuid imageUuid, QModelIndex index) override;
    void onClaimAll(QString provider, QString ioChannel) override;
    void setDate(QUuid session, QDateTime date) override;
    void setBatch(bool open) override;

    // IPipeline
    bool putRecipe(QUuid session, QUrl url, Recipe recipe, Arbiter arbiter) override;
    void setFree(QUuid session, Recipe recipe) override;
    void setFree(QUuid session) override;
    void setLive(QUuid session, bool live) override;
    bool hasMore(QUuid session) override;
    void dismiss(QUuid session) override;
    void clarify(TrafficTicket ticket, Arbiter arbiter) override;
    bool hasFile(QUrl file) override;
    bool hasRequests() override;
    bool hasRequests(QString provider, QString ioChannel) override;
    void setLive(QUuid session, IFileSink::Error error) override;
    void unblockChannel(Recipe recipe) override;
    void unblockVolume(Volume volume) override;
    void revive(QUrl url) override;
    bool recall(QUrl url) override;
    QList<QUuid> sessions() override;
    QList<QUuid> sessions(TrafficTicket ticket) override;
    QList<QUrl> urls(QUuid session, IFileSink::Error error) override;
    QList<QUrl> urls(Recipe recipe) override;
    ProgressModel* footprint() override;
    ProgressModel* footprint(QUuid session) override;
    ProgressModel* footprint(QUrl path) override;
    QAbstractItemModel* model() override;
    QList<QUrl> files(QUuid session) override;
    void start() override;
    void touch() override;
    void clear() override;

    using IPipeline::recall;
    using IPipeline::revive;
    using IPipeline::setLive;

public slots:
    void onObstacle(QUrl target, Recipe recipe, IFileSink::Error error) override;
    void onChanLost(QString provider, QString ioChannel, IFileSink::Error error) override;
    void onRecovery(QString provider, QString ioChannel) override;
    void onProgress(QUrl target, Recipe recipe, ProgressRatio ratio) override;
    void onComplete(QUrl target, Recipe recipe) override;
    void onReleased(Recipe recipe, IFileSink::Error error) override;

signals:
    void delegateChanged();
    void dbConnStringChanged();

private:
    enum Statement {
        Select,
        Insert,
        DeleteRow,
        Hold,
        Resume,
        FreeRecipe,
        FreeSession,
        Date,
        Complete,
        ContentError,
        SourceLost,
        Released,
        ClarifyTarget,
        ClarifyRecipe,
        ClarifySession,
        ClarifyGlobal,
        RecallUrl,
        Clean,
        Dismiss,
        Clear,
        MarkDone,
        CleanFinished,
        StatementCount
    };

    // One journal write, kept until its transaction is saved.
    struct Write
    {
        Statement statement;
        QVariantMap values;
    };

    void closeJournal();
    // Makes the table anew when it lacks columns (an older or damaged journal), keeping
    // the rows that can be kept; then its index. False when the table can't be used.
    bool repairTable();
    bool execScript(const QString& script);
    // Runs a prepared statement with its values bound; false when there is no journal or
    // the statement failed. A write is kept until its transaction is saved; one that
    // cannot run now (the open transaction failed already, older writes wait to be saved)
    // is kept for later and answers true.
    bool run(Statement statement, const QVariantMap& values);
    bool exec(Statement statement, const QVariantMap& values);
    // The statement failed only because the table refused the row (a target already
    // journaled for the session): the caller hears of it, nothing is to be tried again.
    bool refused(Statement statement) const;
    void vacuum();
    // Begins a transaction and runs the writes that wait to be saved in it first.
    bool beginTransaction();
    // Commits, or rolls back when a write or the commit failed and keeps the writes for
    // the next try; the journal is never left inside a transaction. True when every write
    // made so far is saved.
    bool endTransaction();
    // Closes the delegate's batch when the journal is saved, else leaves it open.
    void closeDelegateBatch(bool saved);
    // Opens the delegate's batch for a write made outside one that could not be saved.
    void holdDelegate();
    void scheduleRetry();
    void retrySave();

    // One row of the table as the replay reads it.
    struct Row
    {
        qint64 id;
        QUuid session;
        QUrl url;
        Recipe recipe;
        QDateTime timestamp;
        bool live, free, done;
        int skip, over, err;
    };
    // Reads the table and sends what the replay asks the file system to the worker; false
    // when there is nothing to replay.
    bool replay();
    // The worker's answers: for each row, whether its target is the import's own file.
    void replayRows(QVector<Row> rows, QVector<bool> ours);
    void startDelegate();
    // Copies the replay found in place without their completion in the journal: verified
    // once the scheduler has started.
    QList<QPair<QUrl, Recipe>> m_placedUnjournaled;

    QPointer<IPipeline> m_delegate;
    QString m_dbConnString;
    QSqlDatabase m_db;
    QSqlQuery m_queries[StatementCount];
    QHash<QString, IProvider*> m_routes;
    bool m_transaction = false;
    bool m_failed = false; // a write of the open transaction failed: it is rolled back
    QVector<Write> m_written; // the open transaction's writes, those waiting first
    QVector<Write> m_unsaved; // writes whose transaction failed, in their order
    bool m_delegateHeld = false; // the delegate's batch is left open until they are saved
    QTimer m_retry;
    int m_retryDelay;
    LeavableWorker m_worker; // the replay's questions to the file system
    std::shared_ptr<ReplyTarget> m_replies;
    bool m_replaying = false;
    int m_generation = 0; // a new journal or a clear makes the replay under way void
    QSet<QUuid> m_dismissed; // sessions dismissed while the replay waited
};

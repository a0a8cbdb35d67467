#include "pipeline/recipelogger.h"
#include "pipeline/logging.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSet>
#include <QSqlError>
#include <QSqlRecord>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "core/database.h"
#include "pipeline/foldermaker.h"

namespace {

const char* const kStatements[] = {
    "select * from recipes",
    "insert into recipes ( session, url, provider, ioDevice, recipe, imageUUID, fileSize, estimate, skip, "
    "over ) values (:sess, :url, :prov, :chan, :recipe, :uuid, :size, :near, :skip, :over)",
    "delete from recipes where row_id=:id",
    "update recipes set live=0 where session=:sess and not done",
    "update recipes set live=1 where session=:sess and err=0 and not done",
    "update recipes set free=1 where session=:sess and provider=:prov and ioDevice=:chan and recipe=:recipe",
    "update recipes set free=1 where session=:sess",
    "update recipes set timestamp=:date where session=:sess",
    "update recipes set err=0, done=1 where url=:url and not done",
    "update recipes set err=(err | :err), done=1 where url=:url and not done",
    "update recipes set err=(err | :err), done=1, free=0 where provider=:prov and ioDevice=:chan and "
    "recipe=:recipe and not done",
    "update recipes set free=0 where provider=:prov and ioDevice=:chan and recipe=:recipe",
    "update recipes set skip=:skip, over=:over, live=1 where url=:url and not done",
    "update recipes set skip=:skip, over=:over, live=1 where provider=:prov and ioDevice=:chan and "
    "recipe=:recipe and not done",
    "update recipes set skip=:skip, over=:over, live=1 where session=:sess and not done",
    "update recipes set skip=:skip, over=:over, live=1 where not done",
    "delete from recipes where url=:url",
    // Both sides in UTC, compared by SQLite: a time zone change moves nothing.
    "delete from recipes where not done and julianday(timestamp) < julianday('now', :age)",
    "delete from recipes where session=:sess",
    "delete from recipes",
    "update recipes set err=0, done=1 where row_id=:id",
    // A finished import's rows carry its completion date; they go together.
    "delete from recipes where session in (select session from recipes group by session having "
    "min(done) = 1 and julianday(max(timestamp)) < julianday('now', :age))",
};

// The columns of the table, as its schema makes them.
const char* const kColumns[] = { "row_id", "timestamp", "session", "url", "provider", "ioDevice", "recipe",
    "imageUUID", "fileSize", "estimate", "live", "free", "done", "skip", "over", "err" };

// Every error flag a row may carry.
constexpr int kKnownErrors = IFileSink::IOPause | IFileSink::Present | IFileSink::CantDel | IFileSink::Content
    | IFileSink::NoSpace | IFileSink::DirLost | IFileSink::NoWrite | IFileSink::NoDrive | IFileSink::IOError
    | IFileSink::SrcLost;

QString readResource(const QString& name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly | QIODevice::Text) ? QString::fromUtf8(file.readAll()) : QString();
}

// SQLite's code of a row refused by a constraint (the low byte of an extended code).
constexpr int kSqliteConstraint = 19;

// Writes that could not be saved are tried again after this long, twice as long each time
// up to the last figure.
constexpr int kFirstRetryMs = 250;
constexpr int kLastRetryMs = 30000;

// Work names of a copy cut off before its rename (the copy worker's temporary names).
const QString kWorkSuffix = QStringLiteral(".transfer");

// Timestamps are stored in UTC, in the form of SQLite's CURRENT_TIMESTAMP.
const QString kDateFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

// One text per target, whatever form the caller gave the URL in.
QString urlText(const QUrl& url)
{
    const QUrl canonical = url.isLocalFile() ? QUrl::fromLocalFile(url.toLocalFile()) : url;
    return canonical.toString(QUrl::FullyEncoded);
}

QString sessionText(const QUuid& session)
{
    return session.toString();
}

void addRecipe(QVariantMap& values, const Recipe& recipe)
{
    values.insert(QStringLiteral(":prov"), recipe.provider);
    values.insert(QStringLiteral(":chan"), recipe.ioChannel);
    values.insert(QStringLiteral(":recipe"), QString::fromUtf8(recipe.recipe.toJson(QJsonDocument::Compact)));
}

QDateTime readUtc(const QString& text)
{
    QDateTime date = QDateTime::fromString(text.left(kDateFormat.size()), kDateFormat);
    if (!date.isValid())
        date = QDateTime::fromString(text, Qt::ISODate);
    date.setTimeSpec(Qt::UTC);
    return date;
}

// How long the journal's end waits for a replay's questions under way.
constexpr int kReplayLeaveMs = 1000;

// Removes what a copy cut off by a crash left under the target's work names.
void removeWorkFiles(const QString& target)
{
    // Numbered names are taken only while the plain one exists.
    if (::unlink(QFile::encodeName(target + kWorkSuffix).constData()) != 0)
        return;
    for (int n = 0; ::unlink(QFile::encodeName(target + kWorkSuffix + QString::number(n)).constData()) == 0;
         ++n) { }
}

} // namespace

RecipeLogger::RecipeLogger(QObject* parent)
    : IPipeline(parent)
    , m_retryDelay(kFirstRetryMs)
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    static_assert(sizeof(kStatements) / sizeof(kStatements[0]) == StatementCount, "one text per statement");
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &RecipeLogger::retrySave);
}

RecipeLogger::~RecipeLogger()
{
    // A replay held by a file system that hangs is left to end on its own; it tells no one.
    m_replies->close();
    m_worker.leave(kReplayLeaveMs);
    closeJournal();
}

void RecipeLogger::setDelegate(IPipeline* delegate)
{
    if (m_delegate == delegate)
        return;
    if (m_delegate)
        disconnect(m_delegate, nullptr, this, nullptr);
    m_delegate = delegate;
    if (m_delegate) {
        connect(m_delegate, &IFileSink::needValidate, this, &IFileSink::needValidate);
        connect(m_delegate, &IPipeline::modelChanged, this, &IPipeline::modelChanged);
        m_delegate->setFront(front);
    }
    emit delegateChanged();
    emit modelChanged();
}

void RecipeLogger::setDbConnString(const QString& connString)
{
    // The rows of a replay under way belong to the journal that goes.
    ++m_generation;
    if (m_db.isOpen()) {
        if (m_delegate)
            m_delegate->clear();
        closeJournal();
    }
    m_dbConnString = connString;
    if (!connString.isEmpty()) {
        if (openDatabase(m_db, connString, QStringList { QStringLiteral(":/schema/db/recipes.sql") })
            && repairTable()) {
            // Each scheduling pass is one transaction, and an import from a camera commits
            // about one per file: with a write-ahead log a commit costs one sync instead of
            // the four of a rollback journal, and stays as durable.
            QSqlQuery(m_db).exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            for (int i = 0; i < StatementCount; ++i) {
                m_queries[i] = QSqlQuery(m_db);
                if (!m_queries[i].prepare(QString::fromLatin1(kStatements[i])))
                    qCWarning(lcPipeline) << "Journal statement" << kStatements[i]
                                          << "failed:" << describeSqlError(m_queries[i].lastError());
            }
        } else {
            qCWarning(lcPipeline) << "Transfer journal" << connString
                                  << "can't be opened; imports won't resume, and no source deletes what "
                                     "they copy";
            if (m_db.isValid())
                closeDatabase(m_db);
        }
    }
    emit dbConnStringChanged();
}

bool RecipeLogger::repairTable()
{
    QStringList present;
    {
        QSqlQuery info(m_db);
        if (!info.exec(QStringLiteral("PRAGMA table_info(recipes)")))
            return false;
        while (info.next())
            present << info.value(1).toString();
    }
    QStringList missing;
    QStringList common;
    for (const char* column : kColumns) {
        const QString name = QString::fromLatin1(column);
        (present.contains(name, Qt::CaseInsensitive) ? common : missing) << name;
    }
    const QString indexScript = readResource(QStringLiteral(":/schema/db/recipes-url.sql"));
    if (missing.isEmpty())
        return execScript(indexScript);
    // An older or damaged journal: every new import would be refused. The table is made
    // anew; the rows that carry what a row needs are kept.
    const QString columns = common.join(QStringLiteral(", "));
    const QStringList steps { QStringLiteral("drop table if exists recipes_damaged"),
        QStringLiteral("alter table recipes rename to recipes_damaged"),
        readResource(QStringLiteral(":/schema/db/recipes.sql")),
        QStringLiteral("insert or ignore into recipes (%1) select %1 from recipes_damaged").arg(columns),
        QStringLiteral("drop table recipes_damaged"), indexScript };
    if (!m_db.transaction())
        return false;
    for (const QString& step : steps) {
        if (!execScript(step)) {
            m_db.rollback();
            qCWarning(lcPipeline) << "Transfer journal" << m_dbConnString << "lacks the columns" << missing
                                  << "and can't be rebuilt";
            return false;
        }
    }
    if (!m_db.commit()) {
        m_db.rollback();
        return false;
    }
    QSqlQuery count(m_db);
    const int kept = count.exec(QStringLiteral("select count(*) from recipes")) && count.next()
        ? count.value(0).toInt()
        : 0;
    qCWarning(lcPipeline) << "Transfer journal" << m_dbConnString << "lacked the columns" << missing
                          << "- rebuilt, keeping" << kept << "rows";
    return true;
}

bool RecipeLogger::execScript(const QString& script)
{
    if (script.isEmpty())
        return false;
    QSqlQuery query(m_db);
    query.prepare(script);
    return execLogged(query);
}

void RecipeLogger::closeJournal()
{
    m_retry.stop();
    bool saved = endTransaction();
    // One last try for the writes that wait. The delegate is not told: what is not saved
    // now stays at the source, and the next start finds the copies by their files.
    if (!saved && beginTransaction())
        saved = endTransaction();
    m_retry.stop();
    if (!saved)
        qCWarning(lcPipeline) << "Journal:" << m_unsaved.size() << "writes could not be saved";
    m_unsaved.clear();
    if (!m_db.isValid())
        return;
    for (QSqlQuery& query : m_queries) {
        query.finish();
        query = QSqlQuery();
    }
    closeDatabase(m_db);
}

bool RecipeLogger::exec(Statement statement, const QVariantMap& values)
{
    QSqlQuery& query = m_queries[statement];
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        query.bindValue(it.key(), it.value());
    const bool ok = execLogged(query);
    // The select is read by the caller, the insert's row id too.
    if (statement != Select && statement != Insert)
        query.finish();
    return ok;
}

bool RecipeLogger::refused(Statement statement) const
{
    if (statement != Insert)
        return false;
    bool numeric = false;
    const int code = m_queries[Insert].lastError().nativeErrorCode().toInt(&numeric);
    return numeric && (code & 0xff) == kSqliteConstraint;
}

bool RecipeLogger::run(Statement statement, const QVariantMap& values)
{
    if (!m_db.isOpen()) {
        // A journal that was asked for and can't be opened saves nothing.
        if (journalMissing() && statement != Select)
            holdDelegate();
        return false;
    }
    if (statement == Select)
        return exec(statement, values);
    // The insert and the clearing are answered to their callers, who act on the answer:
    // they are not kept for later.
    const bool answered = statement == Insert || statement == Clear;
    const Write write { statement, values };
    if (m_transaction) {
        if (m_failed) {
            // Rolled back at its end anyway: kept for the next try.
            m_written.append(write);
            return true;
        }
        if (exec(statement, values)) {
            m_written.append(write);
            return true;
        }
        if (refused(statement))
            return false;
        m_failed = true;
        if (!answered)
            m_written.append(write);
        return false;
    }
    if (!m_unsaved.isEmpty() && !answered) {
        // Behind the older writes that wait to be saved, in their order.
        m_unsaved.append(write);
        holdDelegate();
        scheduleRetry();
        return true;
    }
    if (exec(statement, values))
        return true;
    if (answered)
        return false;
    qCWarning(lcPipeline) << "Journal write failed:" << describeSqlError(m_queries[statement].lastError())
                          << "- kept to be saved later; the sources keep their pictures until it is";
    m_unsaved.append(write);
    holdDelegate();
    scheduleRetry();
    return false;
}

void RecipeLogger::vacuum()
{
    if (!m_db.isOpen() || m_transaction)
        return;
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("vacuum"));
    execLogged(query);
}

bool RecipeLogger::beginTransaction()
{
    if (m_transaction || !m_db.isOpen())
        return false;
    if (!m_db.transaction()) {
        qCWarning(lcPipeline) << "Journal transaction can't begin:" << describeSqlError(m_db.lastError());
        return false;
    }
    m_transaction = true;
    m_failed = false;
    m_written.clear();
    // The writes of a transaction that failed go first, in their order. A row that the
    // table refuses now is there already.
    for (const Write& write : qAsConst(m_unsaved)) {
        if (!m_failed && !exec(write.statement, write.values) && !refused(write.statement))
            m_failed = true;
        if (write.statement == Insert)
            m_queries[Insert].finish();
        m_written.append(write);
    }
    return true;
}

bool RecipeLogger::endTransaction()
{
    if (!m_transaction)
        return m_unsaved.isEmpty();
    m_transaction = false;
    QVector<Write> written = std::exchange(m_written, {});
    bool saved = !std::exchange(m_failed, false);
    if (saved && !m_db.commit()) {
        qCWarning(lcPipeline) << "Journal commit failed:" << describeSqlError(m_db.lastError());
        saved = false;
    }
    if (!saved) {
        // A write that failed may have ended the transaction already.
        if (!m_db.rollback())
            qCDebug(lcPipeline) << "Journal rollback:" << describeSqlError(m_db.lastError());
        if (m_unsaved.isEmpty())
            qCWarning(lcPipeline) << "Journal: a transaction of" << written.size()
                                  << "writes rolled back - kept to be saved later; the sources keep their "
                                     "pictures until it is";
        m_unsaved = std::move(written);
        scheduleRetry();
        return false;
    }
    if (!m_unsaved.isEmpty())
        qCInfo(lcPipeline) << "Journal: the writes kept since a failed transaction are saved";
    m_unsaved.clear();
    m_retryDelay = kFirstRetryMs;
    // The delegate's batch left open for them closes on the next turn of the event loop.
    if (m_delegateHeld)
        m_retry.start(0);
    else
        m_retry.stop();
    return true;
}

void RecipeLogger::closeDelegateBatch(bool saved)
{
    if (!m_delegate)
        return;
    if (!saved || journalMissing()) {
        m_delegateHeld = true;
        return;
    }
    m_delegateHeld = false;
    m_delegate->setBatch(false);
}

void RecipeLogger::holdDelegate()
{
    if (m_delegateHeld || !m_delegate)
        return;
    m_delegateHeld = true;
    m_delegate->setBatch(true);
}

void RecipeLogger::scheduleRetry()
{
    if (m_retry.isActive())
        return;
    m_retry.start(m_retryDelay);
    m_retryDelay = qMin(m_retryDelay * 2, kLastRetryMs);
}

void RecipeLogger::retrySave()
{
    // An open batch saves them as it ends.
    if (m_transaction || (m_unsaved.isEmpty() && !m_delegateHeld))
        return;
    setBatch(true);
    setBatch(false);
}

void RecipeLogger::clean(int days)
{
    const QVariantMap age { { QStringLiteral(":age"), QStringLiteral("-%1 days").arg(days) } };
    run(Clean, age);
    // The list of imports says how long finished ones are kept; the replay stays bounded.
    run(CleanFinished, age);
}

void RecipeLogger::setFront(IFileSink* sink)
{
    front = sink ? sink : this;
    if (m_delegate)
        m_delegate->setFront(front);
}

void RecipeLogger::setRoute(QString key, IProvider* provider)
{
    m_routes.insert(key, provider);
    if (m_delegate)
        m_delegate->setRoute(key, provider);
    if (provider)
        provider->attach(this);
}

void RecipeLogger::onVerified(QUrl target, QUuid imageUuid)
{
    if (m_delegate)
        m_delegate->onVerified(target, imageUuid);
}

IHarvest* RecipeLogger::claimIndex(QString provider, QString ioChannel, QUuid imageUuid, QModelIndex index)
{
    return m_delegate ? m_delegate->claimIndex(provider, ioChannel, imageUuid, index) : nullptr;
}

void RecipeLogger::onClaimAll(QString provider, QString ioChannel)
{
    if (m_delegate)
        m_delegate->onClaimAll(provider, ioChannel);
}

void RecipeLogger::setDate(QUuid session, QDateTime date)
{
    run(Date,
        { { QStringLiteral(":date"), date.toUTC().toString(kDateFormat) },
            { QStringLiteral(":sess"), sessionText(session) } });
    if (m_delegate)
        m_delegate->setDate(session, date);
}

void RecipeLogger::setBatch(bool open)
{
    const bool saved = endTransaction();
    if (!open) {
        closeDelegateBatch(saved);
        return;
    }
    beginTransaction();
    if (m_delegate) {
        m_delegateHeld = false;
        m_delegate->setBatch(true);
    }
}

bool RecipeLogger::putRecipe(QUuid session, QUrl url, Recipe recipe, Arbiter arbiter)
{
    if (session.isNull() || !m_db.isOpen())
        return m_delegate && m_delegate->putRecipe(session, url, recipe, arbiter);
    // The row and its removal, when the delegate refuses the file, go in together.
    const bool own = beginTransaction();
    QVariantMap values { { QStringLiteral(":sess"), sessionText(session) },
        { QStringLiteral(":url"), urlText(url) }, { QStringLiteral(":uuid"), recipe.imageUuid.toString() },
        { QStringLiteral(":size"), recipe.fileSize }, { QStringLiteral(":near"), int(recipe.estimate) },
        { QStringLiteral(":skip"), int(arbiter.skip) }, { QStringLiteral(":over"), int(arbiter.overwrite) } };
    addRecipe(values, recipe);
    // A transaction that failed already keeps the insert for later without running it.
    const bool kept = m_transaction && m_failed;
    const int mark = m_written.size();
    bool queued = run(Insert, values);
    if (queued) {
        const QVariant rowId = kept ? QVariant() : m_queries[Insert].lastInsertId();
        m_queries[Insert].finish();
        queued = m_delegate && m_delegate->putRecipe(session, url, recipe, arbiter);
        if (!queued && !kept)
            run(DeleteRow, { { QStringLiteral(":id"), rowId } });
        // The row and its removal come to nothing: not tried again.
        if (!queued && m_transaction)
            m_written.resize(mark);
    }
    if (own && !endTransaction())
        holdDelegate();
    return queued;
}

void RecipeLogger::setFree(QUuid session, Recipe recipe)
{
    QVariantMap values { { QStringLiteral(":sess"), sessionText(session) } };
    addRecipe(values, recipe);
    run(FreeRecipe, values);
    if (m_delegate)
        m_delegate->setFree(session, recipe);
}

void RecipeLogger::setFree(QUuid session)
{
    run(FreeSession, { { QStringLiteral(":sess"), sessionText(session) } });
    if (m_delegate)
        m_delegate->setFree(session);
}

void RecipeLogger::setLive(QUuid session, bool live)
{
    run(live ? Resume : Hold, { { QStringLiteral(":sess"), sessionText(session) } });
    if (m_delegate)
        m_delegate->setLive(session, live);
}

bool RecipeLogger::hasMore(QUuid session)
{
    return m_delegate && m_delegate->hasMore(session);
}

void RecipeLogger::dismiss(QUuid session)
{
    // Its rows read by a replay under way are not replayed.
    if (m_replaying)
        m_dismissed.insert(session);
    setBatch(true);
    run(Dismiss, { { QStringLiteral(":sess"), sessionText(session) } });
    if (m_delegate)
        m_delegate->dismiss(session);
    setBatch(false);
    vacuum();
}

void RecipeLogger::clarify(TrafficTicket ticket, Arbiter arbiter)
{
    if (ticket.scope == NoScope)
        return;
    QVariantMap values { { QStringLiteral(":skip"), int(arbiter.skip) },
        { QStringLiteral(":over"), int(arbiter.overwrite) } };
    switch (ticket.scope) {
    case TargetScope:
        values.insert(QStringLiteral(":url"), urlText(QUrl::fromLocalFile(ticket.target)));
        run(ClarifyTarget, values);
        break;
    case RecipeScope:
        addRecipe(values, ticket.recipe);
        run(ClarifyRecipe, values);
        break;
    case SessionScope:
        values.insert(QStringLiteral(":sess"), sessionText(ticket.session));
        run(ClarifySession, values);
        break;
    case GlobalScope:
        run(ClarifyGlobal, values);
        break;
    default:
        break;
    }
    if (m_delegate)
        m_delegate->clarify(ticket, arbiter);
}

bool RecipeLogger::hasFile(QUrl file)
{
    return m_delegate && m_delegate->hasFile(file);
}

bool RecipeLogger::hasRequests()
{
    return m_delegate && m_delegate->hasRequests();
}

bool RecipeLogger::hasRequests(QString provider, QString ioChannel)
{
    return m_delegate && m_delegate->hasRequests(provider, ioChannel);
}

void RecipeLogger::setLive(QUuid session, IFileSink::Error error)
{
    if (m_delegate)
        m_delegate->setLive(session, error);
}

void RecipeLogger::unblockChannel(Recipe recipe)
{
    if (m_delegate)
        m_delegate->unblockChannel(recipe);
}

void RecipeLogger::unblockVolume(Volume volume)
{
    if (m_delegate)
        m_delegate->unblockVolume(volume);
}

void RecipeLogger::revive(QUrl url)
{
    if (m_delegate)
        m_delegate->revive(url);
}

bool RecipeLogger::recall(QUrl url)
{
    if (!m_delegate || !m_delegate->recall(url))
        return false;
    if (!m_db.isOpen())
        return true;
    return run(RecallUrl, { { QStringLiteral(":url"), urlText(url) } });
}

QList<QUuid> RecipeLogger::sessions()
{
    return m_delegate ? m_delegate->sessions() : QList<QUuid>();
}

QList<QUuid> RecipeLogger::sessions(TrafficTicket ticket)
{
    return m_delegate ? m_delegate->sessions(ticket) : QList<QUuid>();
}

QList<QUrl> RecipeLogger::urls(QUuid session, IFileSink::Error error)
{
    return m_delegate ? m_delegate->urls(session, error) : QList<QUrl>();
}

QList<QUrl> RecipeLogger::urls(Recipe recipe)
{
    return m_delegate ? m_delegate->urls(recipe) : QList<QUrl>();
}

ProgressModel* RecipeLogger::footprint()
{
    return m_delegate ? m_delegate->footprint() : nullptr;
}

ProgressModel* RecipeLogger::footprint(QUuid session)
{
    return m_delegate ? m_delegate->footprint(session) : nullptr;
}

ProgressModel* RecipeLogger::footprint(QUrl path)
{
    return m_delegate ? m_delegate->footprint(path) : nullptr;
}

QAbstractItemModel* RecipeLogger::model()
{
    return m_delegate ? m_delegate->model() : nullptr;
}

QList<QUrl> RecipeLogger::files(QUuid session)
{
    return m_delegate ? m_delegate->files(session) : QList<QUrl>();
}

void RecipeLogger::start()
{
    if (!m_delegate || m_replaying)
        return;
    // Without rows to replay the delegate starts now; else once the worker has answered.
    if (!m_db.isOpen() || !replay())
        m_delegate->start();
}

void RecipeLogger::startDelegate()
{
    m_replaying = false;
    m_dismissed.clear();
    if (!m_delegate)
        return;
    m_delegate->start();
    // Copies put in place whose completion the journal never saved were not verified
    // either (the verification follows the saved completion): their imports may count as
    // finished now, but without the verification they are never marked as imported nor
    // freed at the source. (The replay's worker found them in place; the verification
    // looks again.)
    const QList<QPair<QUrl, Recipe>> placed = std::exchange(m_placedUnjournaled, {});
    for (const auto& copy : placed)
        emit needValidate(copy.first, copy.second);
}

void RecipeLogger::touch()
{
    if (m_delegate)
        m_delegate->touch();
}

void RecipeLogger::clear()
{
    if (m_db.isOpen() && !run(Clear, {}))
        return;
    // The rows a replay under way read are gone.
    ++m_generation;
    if (m_delegate)
        m_delegate->clear();
    vacuum();
}

void RecipeLogger::onObstacle(QUrl target, Recipe recipe, IFileSink::Error error)
{
    if (!recipe.imageUuid.isNull()) {
        if (error & Content)
            run(ContentError,
                { { QStringLiteral(":err"), int(Content) }, { QStringLiteral(":url"), urlText(target) } });
        if (error & SrcLost) {
            QVariantMap values { { QStringLiteral(":err"), int(SrcLost) } };
            addRecipe(values, recipe);
            run(SourceLost, values);
        }
    }
    if (m_delegate)
        m_delegate->onObstacle(target, recipe, error);
}

void RecipeLogger::onChanLost(QString provider, QString ioChannel, IFileSink::Error error)
{
    if (m_delegate)
        m_delegate->onChanLost(provider, ioChannel, error);
}

void RecipeLogger::onRecovery(QString provider, QString ioChannel)
{
    if (m_delegate)
        m_delegate->onRecovery(provider, ioChannel);
}

void RecipeLogger::onProgress(QUrl target, Recipe recipe, ProgressRatio ratio)
{
    if (m_delegate)
        m_delegate->onProgress(target, recipe, ratio);
}

void RecipeLogger::onComplete(QUrl target, Recipe recipe)
{
    run(Complete, { { QStringLiteral(":url"), urlText(target) } });
    if (m_delegate)
        m_delegate->onComplete(target, recipe);
}

void RecipeLogger::onReleased(Recipe recipe, IFileSink::Error error)
{
    if (error & SrcLost) {
        QVariantMap values;
        addRecipe(values, recipe);
        run(Released, values);
    }
    if (m_delegate)
        m_delegate->onReleased(recipe, error);
}

bool RecipeLogger::replay()
{
    QSqlQuery& select = m_queries[Select];
    if (!run(Select, {}))
        return false;
    // Read whole first: the replay writes to the table.
    QVector<Row> rows;
    QHash<QString, QDateTime> dates;
    const QSqlRecord record = select.record();
    const int cId = record.indexOf(QStringLiteral("row_id")),
              cTime = record.indexOf(QStringLiteral("timestamp")),
              cSess = record.indexOf(QStringLiteral("session")), cUrl = record.indexOf(QStringLiteral("url")),
              cProv = record.indexOf(QStringLiteral("provider")),
              cChan = record.indexOf(QStringLiteral("ioDevice")),
              cSpec = record.indexOf(QStringLiteral("recipe")),
              cUuid = record.indexOf(QStringLiteral("imageUUID")),
              cSize = record.indexOf(QStringLiteral("fileSize")),
              cNear = record.indexOf(QStringLiteral("estimate")),
              cLive = record.indexOf(QStringLiteral("live")), cFree = record.indexOf(QStringLiteral("free")),
              cDone = record.indexOf(QStringLiteral("done")), cSkip = record.indexOf(QStringLiteral("skip")),
              cOver = record.indexOf(QStringLiteral("over")), cErr = record.indexOf(QStringLiteral("err"));
    while (select.next()) {
        Row row;
        row.id = select.value(cId).toLongLong();
        row.session = QUuid(select.value(cSess).toString());
        row.url = QUrl(select.value(cUrl).toString(), QUrl::StrictMode);
        row.recipe.provider = select.value(cProv).toString();
        row.recipe.ioChannel = select.value(cChan).toString();
        row.recipe.recipe = QJsonDocument::fromJson(select.value(cSpec).toString().toUtf8());
        row.recipe.imageUuid = QUuid(select.value(cUuid).toString());
        row.recipe.fileSize = select.value(cSize).toLongLong();
        row.recipe.estimate = select.value(cNear).toInt() != 0;
        // Rows of one session mostly share their date: parse each text once.
        const QString stamp = select.value(cTime).toString();
        auto date = dates.constFind(stamp);
        if (date == dates.cend())
            date = dates.insert(stamp, readUtc(stamp));
        row.timestamp = *date;
        row.live = select.value(cLive).toInt() != 0;
        row.free = select.value(cFree).toInt() != 0;
        row.done = select.value(cDone).toInt() != 0;
        row.skip = select.value(cSkip).toInt();
        row.over = select.value(cOver).toInt();
        bool numeric = false;
        const qlonglong err = select.value(cErr).toLongLong(&numeric);
        // A row the program cannot have written (an older build, a damaged file) would be
        // replayed as errors that do not exist: it is left out.
        if (!numeric || err < 0 || (err & ~qlonglong(kKnownErrors)) || row.session.isNull()
            || !row.url.isLocalFile() || row.recipe.fileSize < 0) {
            qCWarning(lcPipeline) << "Journal: row" << row.id << "of" << select.value(cUrl).toString()
                                  << "can't be read (session" << select.value(cSess).toString() << ", size"
                                  << row.recipe.fileSize << ", errors" << select.value(cErr).toString()
                                  << ") - not replayed";
            continue;
        }
        row.err = int(err);
        rows.append(row);
    }
    select.finish();
    if (rows.isEmpty())
        return false;

    // What the worker asks about each unfinished row's target, with the source's test of
    // its content (a test that runs on any thread).
    struct Question
    {
        QString path;
        QDateTime rowTime;
        Recipe recipe;
        IProvider::Validator validator;
    };
    QVector<Question> questions(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const Row& row = rows.at(i);
        IProvider* source = m_routes.value(row.recipe.provider);
        if (row.done || !source)
            continue;
        questions[i] = { row.url.toLocalFile(), row.timestamp, row.recipe, source->validator() };
    }
    m_replaying = true;
    m_dismissed.clear();
    const int generation = m_generation;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const bool queued = m_worker.start([this, replies, rows, questions, generation] {
        QVector<bool> ours(questions.size(), false);
        QSet<QString> folders;
        for (int i = 0; i < questions.size(); ++i) {
            const Question& question = questions.at(i);
            if (question.path.isEmpty())
                continue;
            removeWorkFiles(question.path);
            // Our own file, renamed into place before its completion reached the journal:
            // it is done, not a file in the way. Only a file that took its name after the
            // row was written can be ours (a rename sets the change time, even for a copy
            // that keeps its source's modification time); its content must be what the
            // source accepts. Opened, so that the time is that of the file looked at.
            QDateTime placed;
            const int fd
                = ::open(QFile::encodeName(question.path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd >= 0) {
                struct stat st;
                if (::fstat(fd, &st) == 0)
                    placed = QDateTime::fromSecsSinceEpoch(st.st_ctim.tv_sec, Qt::UTC);
                ::close(fd);
            }
            const bool afterRow = placed.isValid() && question.rowTime.isValid()
                && placed.toSecsSinceEpoch() >= question.rowTime.toSecsSinceEpoch();
            if (placed.isValid() && !afterRow)
                qCInfo(lcPipeline) << "Journal:" << question.path
                                   << "was there before its import: not taken as ours";
            ours[i] = afterRow && question.validator
                && question.validator(QUrl::fromLocalFile(question.path), question.recipe);
            if (!ours[i]) {
                const QString folder = QFileInfo(question.path).absolutePath();
                if (!folders.contains(folder)) {
                    folders.insert(folder);
                    makeFolder(folder);
                }
            }
        }
        replies->post([this, rows, ours, generation] {
            if (generation != m_generation) {
                // Read from a journal since closed or cleared: nothing of it is replayed.
                startDelegate();
                return;
            }
            replayRows(rows, ours);
        });
    });
    if (!queued)
        m_replaying = false;
    return queued;
}

void RecipeLogger::replayRows(QVector<Row> rows, QVector<bool> ours)
{
    struct SessionState
    {
        QDateTime latest;
        int live = 0;
    };
    QHash<QUuid, SessionState> states;
    QList<QUuid> order;
    if (!m_delegate) {
        startDelegate();
        return;
    }
    beginTransaction();
    m_delegate->setBatch(true);
    for (int i = 0; i < rows.size(); ++i) {
        Row& row = rows[i];
        if (m_dismissed.contains(row.session))
            continue;
        IProvider* source = m_routes.value(row.recipe.provider);
        if (!source) {
            // Left in the table: the source may be back at a later start.
            qCWarning(lcPipeline) << "Journal: no source" << row.recipe.provider << "for" << row.url
                                  << "- row left for later";
            continue;
        }
        if (!row.done && ours.value(i)) {
            row.done = true;
            row.err = 0;
            run(MarkDone, { { QStringLiteral(":id"), row.id } });
            if (!row.recipe.imageUuid.isNull() && source->isManaged(row.recipe))
                m_placedUnjournaled.append({ row.url, row.recipe });
        }
        const Arbiter arbiter
            = (row.done && row.err == 0) ? Arbiter(true, false) : Arbiter(row.skip != 0, row.over != 0);
        if (!m_delegate->putRecipe(row.session, row.url, row.recipe, arbiter)) {
            qCWarning(lcPipeline) << "Journal: row of" << row.url << "refused on replay";
            continue;
        }
        if (row.free)
            m_delegate->setFree(row.session, row.recipe);
        if (row.done) {
            if (row.err) {
                for (int bit = 0; (1 << bit) <= IFileSink::SrcLost; ++bit) {
                    if (row.err & (1 << bit))
                        m_delegate->onObstacle(row.url, row.recipe, IFileSink::Error(1 << bit));
                }
            } else {
                m_delegate->onComplete(row.url, row.recipe);
            }
        }
        auto state = states.find(row.session);
        if (state == states.end()) {
            state = states.insert(row.session, SessionState());
            order.append(row.session);
        }
        if (!state->latest.isValid() || row.timestamp > state->latest)
            state->latest = row.timestamp;
        if (row.live && !row.done)
            ++state->live;
    }
    for (const QUuid& session : qAsConst(order)) {
        const SessionState& state = states[session];
        if (state.live == 0)
            m_delegate->setLive(session, false);
        m_delegate->setDate(session, state.latest.toLocalTime());
    }
    // Saved first: the scheduler lets the sources delete only what the journal holds.
    closeDelegateBatch(endTransaction());
    startDelegate();
}

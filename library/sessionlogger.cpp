#include "library/sessionlogger.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include "core/database.h"
#include "core/replytarget.h"
#include "library/logging.h"
#include "library/session.h"

SessionLogger::SessionLogger(QObject* parent)
    : QObject(parent)
    , m_replies(std::make_shared<ReplyTarget>(this))
{ }

SessionLogger::~SessionLogger()
{
    m_replies->close();
    m_checker.leave(0);
    closeDatabase();
}

bool SessionLogger::waitsForCheck(std::function<void()> op)
{
    if (!m_checking)
        return false;
    m_later.push_back(std::move(op));
    return true;
}

void SessionLogger::setGlobbing(const QStringList& globbing)
{
    m_globbing = globbing;
    m_patterns.clear();
    for (const QString& pattern : globbing)
        m_patterns.append(QRegExp(pattern, Qt::CaseInsensitive, QRegExp::Wildcard));
    emit globbingChanged();
}

void SessionLogger::setResolver(IResolver* resolver)
{
    if (resolver == m_resolver)
        return;
    m_resolver = resolver;
    emit resolverChanged();
}

Session* SessionLogger::makeSession()
{
    auto* session = new Session();
    if (!m_globbing.isEmpty())
        session->setGlobbing(m_globbing);
    session->setResolver(m_resolver);
    session->setParent(this);
    return session;
}

void SessionLogger::setDbConnString(const QString& connString)
{
    if (m_db.isValid()) {
        setDepth(0);
        closeDatabase();
    }
    m_connString = connString;
    openDatabase();
    emit dbConnStringChanged();
}

void SessionLogger::closeDatabase()
{
    if (!m_db.isValid())
        return;
    ::closeDatabase(
        m_db, { &m_history_q, &m_newSession, &m_touch, &m_forget, &m_offer, &m_close, &m_limit, &m_replay });
}

namespace {

// Moves a damaged history file out of the way, with the journal that belongs to it (which
// must not be played into the new file), under a name of its own.
bool setAside(const QString& path)
{
    QString aside = path + QStringLiteral(".damaged");
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = path + QStringLiteral(".damaged-%1").arg(n);
    if (!QFile::rename(path, aside))
        return false;
    for (const char* suffix : { "-journal", "-wal", "-shm" }) {
        const QString sibling = path + QLatin1String(suffix);
        if (QFileInfo::exists(sibling))
            QFile::rename(sibling, aside + QLatin1String(suffix));
    }
    qCWarning(lcLibrary) << "Session history was damaged; kept aside as" << aside;
    return true;
}

// What a check of the history file that runs to its end (or the file's own header) tells.
// A file another process holds locked is in use, not damaged: setting it aside would lose
// the history.
enum class FileState { Sound, Damaged, InUse };

FileState checkFile(const QString& path)
{
    const QString name = QStringLiteral("history-check-%1").arg(quintptr(&path));
    FileState state = FileState::InUse;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=0"));
        if (db.open()) {
            QSqlQuery check(db);
            if (check.exec(QStringLiteral("PRAGMA quick_check"))) {
                const bool ok = check.next() && check.value(0).toString() == QLatin1String("ok");
                state = ok ? FileState::Sound : FileState::Damaged;
            } else {
                // SQLITE_CORRUPT and SQLITE_NOTADB; busy or locked, it is in use.
                const QString code = check.lastError().nativeErrorCode();
                if (code == QLatin1String("11") || code == QLatin1String("26"))
                    state = FileState::Damaged;
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return state;
}

} // namespace

bool SessionLogger::openConnection()
{
    if (!::openDatabase(m_db, m_connString, QStringLiteral(":/schema/db/sessions.sql")) || !m_db.isValid()) {
        qCDebug(lcLibrary) << "Session history:" << m_db.lastError().text();
        return !QFileInfo(m_connString).isFile();
    }
    // A file torn by a crash while it was written may still open; reading it all tells.
    QSqlQuery check(m_db);
    if (check.exec(QStringLiteral("PRAGMA quick_check")) && check.next()
        && check.value(0).toString() == QLatin1String("ok"))
        return true;
    qCWarning(lcLibrary) << "Session history fails its check:"
                         << (check.isActive() ? check.value(0).toString() : check.lastError().text());
    check = QSqlQuery();
    ::closeDatabase(m_db);
    return false;
}

void SessionLogger::openDatabase()
{
    // A damaged history is set aside and a new one started: without one, no folder could
    // be opened in the gallery at all. One that another process holds is left as it is.
    if (!openConnection()) {
        switch (checkFile(m_connString)) {
        case FileState::InUse:
            qCWarning(lcLibrary) << "Session history is in use elsewhere; not opened:" << m_connString;
            return;
        case FileState::Sound: // it was, a moment ago
            if (!openConnection())
                return;
            break;
        case FileState::Damaged:
            if (!setAside(m_connString) || !openConnection())
                return;
            break;
        }
    }
    if (!m_db.isValid())
        return;
    // SQLite leaves foreign keys off unless asked: without this, deleting a session
    // would leave its rows behind.
    QSqlQuery(m_db).exec(QStringLiteral("PRAGMA foreign_keys = ON"));

    auto prepare = [this](QSqlQuery& query, const char* sql) {
        query = QSqlQuery(m_db);
        if (!query.prepare(QString::fromLatin1(sql)))
            qCDebug(lcLibrary) << "Session history:" << query.lastError().text();
    };
    // Ordered by row id as well: timestamps have one-second resolution.
    prepare(m_history_q,
        "select row_id, display_name, timestamp from sessions where operation='r' "
        "order by timestamp desc, row_id desc limit :limit");
    prepare(m_newSession, "insert into sessions (operation, display_name) values ('r', date('now') )");
    prepare(m_touch, "update sessions set timestamp = CURRENT_TIMESTAMP where row_id=:active");
    prepare(m_forget, "delete from sessions where row_id=:clear");
    prepare(m_offer,
        "insert into sessions (parent_id, operation, display_name, root_url, recursive) "
        "values (:parent, 'o', :label, :root, :recurse )");
    prepare(m_close,
        "insert into sessions (parent_id, operation, display_name, root_url, recursive) "
        "values (:parent, 'c', :label, :root, :recurse )");
    prepare(m_limit,
        "insert into sessions (parent_id, operation, display_name, root_url, recursive, condition) "
        "values (:parent, 'l', :label, :root, :recurse, :condition )");
    prepare(m_replay, "select * from sessions where parent_id = :parent order by row_id asc");

    bool ok = false;
    const QList<int> newest = readHistory(1, &ok);
    if (!ok || !newest.isEmpty())
        return;
    if (!m_newSession.exec())
        qCDebug(lcLibrary) << "Can't bootstrap" << m_newSession.lastError().text();
}

QList<int> SessionLogger::readHistory(int limit, bool* ok)
{
    QList<int> ids;
    m_history_q.bindValue(QStringLiteral(":limit"), limit);
    *ok = m_history_q.exec();
    if (!*ok)
        return ids;
    while (m_history_q.next())
        ids.append(m_history_q.value(0).toInt());
    m_history_q.finish();
    return ids;
}

void SessionLogger::setDepth(int depth)
{
    if (depth < 0) {
        qCWarning(lcLibrary) << "History depth can't be negative";
        return;
    }
    const bool changed = depth != m_depth;
    m_depth = depth;
    if (m_sessions.size() == depth) {
        if (changed)
            emit depthChanged();
        return;
    }
    if (m_sessions.size() > depth) {
        trim();
        emit depthChanged();
        emit sessionsChanged();
        return;
    }
    if (!m_db.isValid())
        return;
    bool ok = false;
    const QList<int> ids = readHistory(depth, &ok);
    if (!ok)
        return;
    for (int id : ids) {
        if (m_sessions.contains(id))
            continue;
        Session* session = makeSession();
        replay(id, session);
        m_sessions.insert(id, session);
    }
    m_history = ids;
    trim();
    emit depthChanged();
    emit sessionsChanged();
}

void SessionLogger::trim()
{
    while (m_sessions.size() > m_depth && !m_history.isEmpty()) {
        const int id = m_history.takeLast();
        if (Session* session = m_sessions.take(id))
            session->deleteLater();
    }
}

void SessionLogger::replay(int id, Session* session)
{
    m_replay.bindValue(QStringLiteral(":parent"), id);
    if (!m_replay.exec())
        return;
    const QSqlRecord record = m_replay.record();
    const int operation = record.indexOf(QStringLiteral("operation"));
    const int root = record.indexOf(QStringLiteral("root_url"));
    const int recursive = record.indexOf(QStringLiteral("recursive"));
    const int condition = record.indexOf(QStringLiteral("condition"));
    while (m_replay.next()) {
        const QString op = m_replay.value(operation).toString();
        const QUrl url(m_replay.value(root).toString());
        const bool recurse = m_replay.value(recursive).toBool();
        if (op == QLatin1String("l"))
            session->impose(url, recurse, QJsonDocument::fromJson(m_replay.value(condition).toByteArray()));
        else if (op == QLatin1String("o"))
            session->offer(url, recurse);
        else if (op == QLatin1String("c"))
            session->close(url, recurse);
    }
    m_replay.finish();
}

void SessionLogger::reset()
{
    if (waitsForCheck([this] { reset(); }))
        return;
    if (!m_sessions.isEmpty()) {
        Session* active = m_sessions.value(activeId());
        if (active && active->isEmpty())
            return; // an empty session is reused rather than piled up
    }
    if (!m_db.isValid() || !m_newSession.exec())
        return;
    // The insert's own id: a history query could return an older session whose
    // timestamp falls in the same second.
    const int id = m_newSession.lastInsertId().toInt();
    if (id <= 0)
        return;
    m_sessions.insert(id, makeSession());
    m_history.removeAll(id);
    m_history.prepend(id);
    trim();
    emit sessionsChanged();
}

void SessionLogger::setActiveId(int id)
{
    // After what was asked before it: a close asked before the switch is the old session's.
    if (waitsForCheck([this, id] { setActiveId(id); }))
        return;
    if (m_sessions.isEmpty())
        reset();
    if (!m_sessions.contains(id) || id == activeId())
        return;
    Session* active = m_sessions.value(activeId());
    // One that dropped folders are on their way to is not empty.
    if (active && active->isEmpty() && !(m_checking && m_checkingFor == activeId())) {
        m_forget.bindValue(QStringLiteral(":clear"), activeId());
        if (m_forget.exec()) {
            m_sessions.remove(activeId());
            m_history.removeFirst();
            active->deleteLater();
        }
    }
    m_touch.bindValue(QStringLiteral(":active"), id);
    if (!m_touch.exec())
        return;
    m_history.removeAll(id);
    m_history.prepend(id);
    emit sessionsChanged();
}

void SessionLogger::bindRoot(QSqlQuery& query, int id, const QUrl& url, bool recursive)
{
    query.bindValue(QStringLiteral(":parent"), id);
    query.bindValue(QStringLiteral(":label"), QFileInfo(url.toLocalFile()).baseName());
    query.bindValue(QStringLiteral(":root"), url.toString());
    query.bindValue(QStringLiteral(":recurse"), recursive);
}

void SessionLogger::offer(QUrl location, bool recursive)
{
    if (waitsForCheck([this, location, recursive] { offer(location, recursive); }))
        return;
    if (m_sessions.isEmpty())
        reset();
    offerInto(activeId(), location, recursive);
}

void SessionLogger::offerInto(int id, const QUrl& location, bool recursive)
{
    Session* session = m_sessions.value(id);
    if (!session)
        return;
    bindRoot(m_offer, id, location, recursive);
    session->offer(location, recursive);
    if (!m_offer.exec())
        qCDebug(lcLibrary) << "Offer:" << m_offer.lastError().text();
}

void SessionLogger::close(QUrl location, bool recursive)
{
    if (waitsForCheck([this, location, recursive] { close(location, recursive); }))
        return;
    if (location.isEmpty()) {
        // An empty location would close the working folder.
        qCWarning(lcLibrary) << "Session history: nothing to close";
        return;
    }
    if (m_sessions.isEmpty()) {
        reset();
        return;
    }
    Session* active = m_sessions.value(activeId());
    if (!active)
        return;
    bindRoot(m_close, activeId(), location, recursive);
    if (!m_close.exec()) {
        qCDebug(lcLibrary) << "Close:" << m_close.lastError().text();
        return;
    }
    active->close(location, recursive);
}

void SessionLogger::impose(QUrl location, bool recursive, QJsonDocument condition)
{
    if (waitsForCheck([this, location, recursive, condition] { impose(location, recursive, condition); }))
        return;
    if (m_sessions.isEmpty()) {
        reset();
        return;
    }
    Session* active = m_sessions.value(activeId());
    if (!active)
        return;
    m_limit.bindValue(QStringLiteral(":parent"), activeId());
    m_limit.bindValue(QStringLiteral(":label"), location.fileName(QUrl::FullyDecoded));
    m_limit.bindValue(QStringLiteral(":root"), location.toString());
    m_limit.bindValue(QStringLiteral(":recurse"), recursive);
    m_limit.bindValue(QStringLiteral(":condition"), condition.toJson(QJsonDocument::Compact));
    if (!m_limit.exec()) {
        qCDebug(lcLibrary) << "Impose:" << m_limit.lastError().text();
        return;
    }
    active->impose(location, recursive, condition);
}

bool SessionLogger::matchesGlobbing(const QUrl& url) const
{
    if (m_patterns.isEmpty())
        return true;
    const QString name = url.fileName(QUrl::FullyDecoded);
    for (const QRegExp& pattern : m_patterns) {
        if (pattern.exactMatch(name))
            return true;
    }
    return false;
}

void SessionLogger::offerFiles(const QUrl& folder, const QStringList& names)
{
    if (waitsForCheck([this, folder, names] { offerFiles(folder, names); }))
        return;
    if (!m_db.isValid())
        return;
    m_db.transaction();
    const QString base = folder.toLocalFile();
    for (const QString& name : names)
        offer(QUrl::fromLocalFile(base + QLatin1Char('/') + name), false);
    if (!m_db.commit())
        m_db.rollback();
}

void SessionLogger::offerAll(const QList<QUrl>& urls, bool recursive)
{
    if (waitsForCheck([this, urls, recursive] { offerAll(urls, recursive); }))
        return;
    if (!m_db.isValid())
        return;
    if (m_sessions.isEmpty())
        reset();
    const int id = activeId();
    // Pictures by their names; whether any other URL is a folder is asked of the disk, which
    // may hang, off this thread.
    QList<bool> named;
    bool ask = false;
    for (const QUrl& url : urls) {
        named.append(matchesGlobbing(url));
        ask = ask || !named.constLast();
    }
    if (!ask) {
        offerBatch(id, urls, recursive);
        return;
    }
    m_checking = true;
    m_checkingFor = id;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_checker.start([this, replies, urls, named, recursive, id] {
        QList<QUrl> offered;
        for (int i = 0; i < urls.size(); ++i) {
            if (named.at(i) || QFileInfo(urls.at(i).toLocalFile()).isDir())
                offered.append(urls.at(i));
        }
        replies->post([this, id, offered, recursive] {
            m_checking = false;
            offerBatch(id, offered, recursive);
            while (!m_checking && !m_later.empty()) {
                const std::function<void()> op = std::move(m_later.front());
                m_later.pop_front();
                op();
            }
        });
    });
}

void SessionLogger::offerBatch(int id, const QList<QUrl>& urls, bool recursive)
{
    // Into the session that was active when they were asked for: one switched away from
    // meanwhile still gets them, one that went does not.
    if (!m_db.isValid() || urls.isEmpty() || !m_sessions.contains(id))
        return;
    m_db.transaction();
    for (const QUrl& url : urls)
        offerInto(id, url, recursive);
    if (!m_db.commit())
        m_db.rollback();
}

#pragma once

#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QRegExp>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>

#include <deque>
#include <functional>
#include <memory>

#include "core/leavableworker.h"
#include "engine/iresolver.h"
#include "library/isession.h"

class ReplyTarget;

class Session;

// The history of gallery sessions in an SQLite table. Every operation the user performs on
// the active session is written as a row and forwarded to it; the most recently active
// sessions are kept live, rebuilt by replaying their rows. GUI thread only; what offerAll
// needs to know of the disk is asked off it, and the operations asked for meanwhile wait
// their turn behind it.
class SessionLogger : public QObject, public ISession
{
    Q_OBJECT
    Q_PROPERTY(QString dbConnString READ dbConnString WRITE setDbConnString NOTIFY dbConnStringChanged)
    Q_PROPERTY(QStringList globbing READ globbing WRITE setGlobbing NOTIFY globbingChanged)
    Q_PROPERTY(IResolver* resolver READ resolver WRITE setResolver NOTIFY resolverChanged)
    Q_PROPERTY(int depth READ depth WRITE setDepth NOTIFY depthChanged)
    Q_PROPERTY(QList<int> sessions READ sessions NOTIFY sessionsChanged)
    Q_PROPERTY(int activeId READ activeId WRITE setActiveId NOTIFY sessionsChanged)
public:
    explicit SessionLogger(QObject* parent = nullptr);
    ~SessionLogger() override;

    QString dbConnString() const { return m_connString; }
    void setDbConnString(const QString& connString);
    QStringList globbing() const { return m_globbing; }
    void setGlobbing(const QStringList& globbing);
    IResolver* resolver() const { return m_resolver; }
    void setResolver(IResolver* resolver);
    // The number of live sessions.
    int depth() const { return m_sessions.size(); }
    void setDepth(int depth);
    QList<int> sessions() const { return m_history.mid(1); }
    int activeId() const { return m_history.value(0, 0); }
    void setActiveId(int id);

    Q_INVOKABLE Session* session(int id) const { return m_sessions.value(id, nullptr); }

    Q_INVOKABLE void reset() override;
    Q_INVOKABLE void offer(QUrl location, bool recursive) override;
    Q_INVOKABLE void close(QUrl location, bool recursive) override;
    Q_INVOKABLE void impose(QUrl location, bool recursive, QJsonDocument condition) override;
    Q_INVOKABLE void close(const QUrl& location) { close(location, true); }
    Q_INVOKABLE void close() { close(QUrl(), true); }
    Q_INVOKABLE void offerFiles(const QUrl& folder, const QStringList& names);
    Q_INVOKABLE void offerAll(const QList<QUrl>& urls, bool recursive);

signals:
    void dbConnStringChanged();
    void globbingChanged();
    void resolverChanged();
    void depthChanged();
    void sessionsChanged();

private:
    Session* makeSession();
    void openDatabase();
    // Opens the connection; false when the file is there but no sound database.
    bool openConnection();
    void closeDatabase();
    void trim();
    void replay(int id, Session* session);
    void bindRoot(QSqlQuery& query, int id, const QUrl& url, bool recursive);
    QList<int> readHistory(int limit, bool* ok);
    bool matchesGlobbing(const QUrl& url) const;
    void offerInto(int id, const QUrl& location, bool recursive);
    // Offers the URLs into the session `id`, in one transaction.
    void offerBatch(int id, const QList<QUrl>& urls, bool recursive);
    // True when an offerAll still waits for the disk: `op` then runs once it is done.
    bool waitsForCheck(std::function<void()> op);

    QString m_connString;
    QSqlDatabase m_db;
    QSqlQuery m_history_q, m_newSession, m_touch, m_forget, m_offer, m_close, m_limit, m_replay;
    int m_depth = 5;
    QMap<int, Session*> m_sessions;
    QList<int> m_history;
    QStringList m_globbing;
    QList<QRegExp> m_patterns;
    QPointer<IResolver> m_resolver;
    // The offerAll waiting for the disk, and the operations asked for since, in order.
    bool m_checking = false;
    int m_checkingFor = 0;
    std::deque<std::function<void()>> m_later;
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_checker;
};

#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QUrl>

class BoundedAccessManager;
class QNetworkReply;

// Tells when a newer build is published and starts the maintenance tool to install it.
// The update channel is the "UpdateChannel" setting when there is one, else the one in
// the tool's resource file "maintenancetool.dat" in the application directory, else the
// channel the build was configured with; only https channels are taken. The feed is an
// XML document under the channel. A check asked for by the user always answers: a
// version, nothing new, or an error with its reason.
class Uppdate : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl channel READ channel WRITE setChannel NOTIFY channelChanged)
    Q_PROPERTY(QString repoHead READ repoHead WRITE setRepoHead NOTIFY repoHeadChanged)
    Q_PROPERTY(bool forceUpdate READ forceUpdate WRITE setForceUpdate)
    Q_PROPERTY(bool hasTool READ hasTool CONSTANT)
public:
    explicit Uppdate(QObject* parent = nullptr);
    // With the tool and its resource file in `appDir` instead of the application's own.
    explicit Uppdate(const QDir& appDir, QObject* parent = nullptr);
    ~Uppdate() override;

    QUrl channel() const { return m_channel; }
    QString repoHead() const { return m_repoHead; }
    bool forceUpdate() const { return m_forceUpdate; }
    bool hasTool() const;

    Q_INVOKABLE void checkForUpdates(bool userAction);
    Q_INVOKABLE bool hasChannel() const { return m_channel.isValid(); }
    Q_INVOKABLE bool retrieveUpdates();

    // The version of this build, compared with the feed.
    static QString currentVersion();
    // The channel the build was configured with.
    static QUrl defaultChannel();

    // How long a feed request may stay idle, and how long it may take in all.
    void setTimeoutMs(int idleMs, int totalMs);

public slots:
    void request(const QUrl& url, bool userAction);
    void callback(QNetworkReply* reply);
    void onFound(const QString& version, bool userAction);
    void setChannel(const QUrl& channel);
    void setRepoHead(const QString& repoHead);
    void setForceUpdate(bool force) { m_forceUpdate = force; }

signals:
    void channelChanged(const QUrl& channel);
    void repoHeadChanged(const QString& repoHead);
    void retry(const QUrl& url, bool userAction);
    void versionAvailable(const QString& version);
    void nothingAvailable();
    void checkUpdateError(const QString& reason);

private:
    void readConfig();
    void fail(Uppdate* checker, bool userAction, const QString& reason);

    BoundedAccessManager* m_manager;
    int m_totalTimeoutMs = 60000;
    // Feed addresses asked again after a failed handshake, once each.
    QSet<QUrl> m_retrying;
    QElapsedTimer m_clock;
    QDir m_appDir;
    QString m_resource;
    QUrl m_channel;
    QString m_repoHead;
    bool m_forceUpdate = false;
};

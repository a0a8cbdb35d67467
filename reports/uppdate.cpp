#include "reports/uppdate.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QResource>
#include <QSslSocket>
#include <QStringList>
#include <QTimer>
#include <QVersionNumber>
#include <QXmlStreamReader>

#include "core/appsettings.h"
#include "core/identity.h"
#include "reports/boundedaccessmanager.h"
#include "reports/logging.h"

namespace {

const QString kTool = QStringLiteral("maintenancetool.exe");
const QString kResource = QStringLiteral("maintenancetool.dat");
const QString kConfig = QStringLiteral(":/install/installer-config/config.xml");
const QString kHttps = QStringLiteral("https");
// The feed is a few kilobytes.
constexpr qint64 kMaxFeedBytes = 1 << 20;
constexpr int kIdleTimeoutMs = 30000;
// Marks a feed request that is the one retry after a failed handshake.
constexpr auto kRetriedAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 1);

#ifndef OSTRA_UPDATE_CHANNEL
#define OSTRA_UPDATE_CHANNEL ""
#endif

} // namespace

Uppdate::Uppdate(QObject* parent)
    : Uppdate(QDir(QCoreApplication::applicationDirPath()), parent)
{ }

Uppdate::Uppdate(const QDir& appDir, QObject* parent)
    : QObject(parent)
    , m_manager(new BoundedAccessManager(this))
    , m_appDir(appDir)
{
    m_manager->setTransferTimeoutMs(kIdleTimeoutMs);
    m_manager->setMaxReplyBytes(kMaxFeedBytes);
    connect(this, &Uppdate::retry, this, &Uppdate::request);
    connect(m_manager, &QNetworkAccessManager::finished, this, &Uppdate::callback);
    const QString resource = m_appDir.absoluteFilePath(kResource);
    if (QFile::exists(resource) && QResource::registerResource(resource, QStringLiteral("/install")))
        m_resource = resource;
    readConfig();
    const QString setting = AppSettings::instance()
        ? AppSettings::instance()->value(QStringLiteral("UpdateChannel")).toString().trimmed()
        : QString();
    if (!setting.isEmpty())
        setChannel(QUrl(setting, QUrl::TolerantMode));
    if (m_channel.isEmpty())
        setChannel(defaultChannel());
}

Uppdate::~Uppdate()
{
    if (!m_resource.isEmpty())
        QResource::unregisterResource(m_resource, QStringLiteral("/install"));
}

QString Uppdate::currentVersion()
{
    return QStringLiteral("2.3.0.579");
}

QUrl Uppdate::defaultChannel()
{
    return QUrl(QStringLiteral(OSTRA_UPDATE_CHANNEL), QUrl::TolerantMode);
}

void Uppdate::setTimeoutMs(int idleMs, int totalMs)
{
    m_manager->setTransferTimeoutMs(idleMs);
    m_totalTimeoutMs = totalMs;
}

bool Uppdate::hasTool() const
{
    return QFile::exists(m_appDir.absoluteFilePath(kTool));
}

void Uppdate::readConfig()
{
    QFile file(kConfig);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QString text = QString::fromUtf8(file.readAll());
    if (text.isEmpty())
        return;
    const QStringList wanted { QStringLiteral("Installer"), QStringLiteral("RemoteRepositories"),
        QStringLiteral("Repository"), QStringLiteral("Url") };
    QStringList path;
    QXmlStreamReader xml(text);
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement:
            path << xml.name().toString();
            break;
        case QXmlStreamReader::EndElement:
            if (!path.isEmpty())
                path.removeLast();
            break;
        case QXmlStreamReader::Characters:
            if (path == wanted)
                setChannel(QUrl(xml.text().toString(), QUrl::TolerantMode));
            break;
        default:
            break;
        }
    }
}

void Uppdate::setChannel(const QUrl& channel)
{
    if (channel == m_channel)
        return;
    // The feed decides what the maintenance tool installs: it is only asked over TLS.
    if (!channel.isEmpty() && channel.scheme() != kHttps) {
        qCWarning(lcReports) << "Update channel refused (not https):" << channel;
        return;
    }
    qCDebug(lcReports) << "Update channel set to" << channel;
    m_channel = channel;
    emit channelChanged(m_channel);
}

void Uppdate::setRepoHead(const QString& repoHead)
{
    if (repoHead == m_repoHead)
        return;
    m_repoHead = repoHead;
    emit repoHeadChanged(m_repoHead);
}

void Uppdate::fail(Uppdate* checker, bool userAction, const QString& reason)
{
    qCDebug(lcReports) << "Update check failed:" << reason;
    if (userAction)
        emit checker->checkUpdateError(reason);
}

void Uppdate::checkForUpdates(bool userAction)
{
    if (!hasChannel()) {
        fail(this, userAction, tr("No update channel is set."));
        return;
    }
    if (!QSslSocket::supportsSsl()) {
        fail(this, userAction, tr("Secure connections are not available."));
        return;
    }
    QUrl url = m_channel;
    url.setPath(QDir(url.path(QUrl::FullyDecoded)).filePath(m_repoHead), QUrl::DecodedMode);
    request(url, userAction);
}

void Uppdate::request(const QUrl& url, bool userAction)
{
    if (url.scheme() != kHttps) {
        fail(this, userAction, tr("The update feed is only asked for over https."));
        return;
    }
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const bool offline = m_manager->networkAccessible() == QNetworkAccessManager::NotAccessible;
    QT_WARNING_POP
    if (offline) {
        fail(this, userAction, tr("The network is not accessible."));
        return;
    }
    m_clock.restart();
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setPriority(userAction ? QNetworkRequest::HighPriority : QNetworkRequest::LowPriority);
    request.setOriginatingObject(this);
    request.setAttribute(kRetriedAttribute, m_retrying.remove(url));
    QNetworkReply* reply = m_manager->get(request);
    // A server that trickles bytes keeps the idle time-out from firing: the whole check
    // has a bound too.
    QTimer::singleShot(m_totalTimeoutMs, reply, [reply] {
        if (reply->isRunning())
            reply->abort();
    });
    qCDebug(lcReports) << "handed over" << m_clock.elapsed();
}

void Uppdate::callback(QNetworkReply* reply)
{
    reply->deleteLater();
    qCDebug(lcReports) << "called back" << m_clock.elapsed();
    auto* checker = qobject_cast<Uppdate*>(reply->request().originatingObject());
    if (!checker)
        checker = this;
    const bool userAction = reply->request().priority() != QNetworkRequest::LowPriority;

    switch (reply->error()) {
    case QNetworkReply::NoError:
        break;
    case QNetworkReply::SslHandshakeFailedError:
        // Asked once more, over TLS again: a feed fetched in plain text could be
        // answered by anyone on the path.
        if (!reply->request().attribute(kRetriedAttribute).toBool()) {
            checker->m_retrying.insert(reply->url());
            emit checker->retry(reply->url(), userAction);
        } else {
            fail(checker, userAction, reply->errorString());
        }
        return;
    case QNetworkReply::OperationCanceledError:
        fail(checker, userAction,
            BoundedAccessManager::exceeded(reply) ? tr("The update feed is too large.")
                                                  : tr("The update server did not answer in time."));
        return;
    default:
        fail(checker, userAction, reply->errorString());
        return;
    }

    // Only a successful answer carries the feed: the body of a redirection (not followed)
    // is some page, whatever it holds.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299) {
        qCWarning(lcReports) << "Update feed answered with" << status << reply->url();
        fail(checker, userAction, tr("The update server did not send an update feed."));
        return;
    }

    const QStringList package { QStringLiteral("Updates"), QStringLiteral("PackageUpdate") };
    const QStringList name = package + QStringList { QStringLiteral("Name") };
    const QStringList version = package + QStringList { QStringLiteral("Version") };
    const QString ownId = QString::fromLatin1(ostra::applicationId);
    QStringList path;
    QString foundName;
    QString foundVersion;
    QStringList offered;
    bool isFeed = false;
    QXmlStreamReader xml(BoundedAccessManager::bodyOf(reply));
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement:
            path << xml.name().toString();
            if (path == QStringList { package.first() })
                isFeed = true;
            if (path == package) {
                foundName.clear();
                foundVersion.clear();
            }
            break;
        case QXmlStreamReader::EndElement:
            if (path == package && foundName == ownId)
                offered << foundVersion;
            if (!path.isEmpty())
                path.removeLast();
            break;
        case QXmlStreamReader::Characters:
            if (path == name)
                foundName += xml.text();
            else if (path == version)
                foundVersion += xml.text();
            break;
        default:
            break;
        }
    }
    qCDebug(lcReports) << "fully parsed" << m_clock.elapsed();
    if (xml.hasError() || !isFeed) {
        fail(checker, userAction, tr("The update server did not send an update feed."));
        return;
    }
    if (offered.isEmpty()) {
        fail(checker, userAction, tr("The update feed does not list this application."));
        return;
    }
    for (const QString& offer : qAsConst(offered))
        checker->onFound(offer, userAction);
}

void Uppdate::onFound(const QString& version, bool userAction)
{
    qCDebug(lcReports) << "Force update" << m_forceUpdate;
    const bool newer = m_forceUpdate
        || QVersionNumber::fromString(version).normalized()
            > QVersionNumber::fromString(currentVersion()).normalized();
    if (newer)
        emit versionAvailable(version);
    else if (userAction)
        emit nothingAvailable();
}

bool Uppdate::retrieveUpdates()
{
    return QProcess::startDetached(m_appDir.absoluteFilePath(kTool), { QStringLiteral("--updater") });
}

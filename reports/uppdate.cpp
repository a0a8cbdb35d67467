#include "reports/uppdate.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QResource>
#include <QSslSocket>
#include <QStringList>
#include <QVersionNumber>
#include <QXmlStreamReader>

#include "core/identity.h"
#include "reports/logging.h"

namespace {

const QString kTool = QStringLiteral("maintenancetool.exe");
const QString kResource = QStringLiteral("maintenancetool.dat");
const QString kConfig = QStringLiteral(":/install/installer-config/config.xml");

} // namespace

Uppdate::Uppdate(QObject* parent)
    : Uppdate(QDir(QCoreApplication::applicationDirPath()), parent)
{ }

Uppdate::Uppdate(const QDir& appDir, QObject* parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
    , m_appDir(appDir)
{
    connect(this, &Uppdate::retry, this, &Uppdate::request);
    connect(m_manager, &QNetworkAccessManager::finished, this, &Uppdate::callback);
    const QString resource = m_appDir.absoluteFilePath(kResource);
    if (QFile::exists(resource) && QResource::registerResource(resource, QStringLiteral("/install")))
        m_resource = resource;
    readConfig();
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

void Uppdate::checkForUpdates(bool userAction)
{
    // The feed is only asked over TLS; without it the request fails as a check error.
    QUrl url = m_channel;
    url.setPath(QDir(url.path(QUrl::FullyDecoded)).filePath(m_repoHead), QUrl::DecodedMode);
    request(url, userAction);
}

void Uppdate::request(const QUrl& url, bool userAction)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const bool offline = m_manager->networkAccessible() == QNetworkAccessManager::NotAccessible;
    QT_WARNING_POP
    if (offline) {
        if (userAction)
            emit checkUpdateError();
        return;
    }
    m_clock.restart();
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setPriority(userAction ? QNetworkRequest::HighPriority : QNetworkRequest::LowPriority);
    request.setOriginatingObject(this);
    m_manager->get(request);
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

    if (reply->error() != QNetworkReply::NoError) {
        // A failed handshake is an error like any other: asking again over plain HTTP
        // would let anyone on the path answer the feed.
        qCDebug(lcReports) << "Update check failed" << reply->errorString();
        if (userAction)
            emit checker->checkUpdateError();
        return;
    }

    const QStringList package { QStringLiteral("Updates"), QStringLiteral("PackageUpdate") };
    const QStringList name = package + QStringList { QStringLiteral("Name") };
    const QStringList version = package + QStringList { QStringLiteral("Version") };
    const QString ownId = QString::fromLatin1(ostra::applicationId);
    QStringList path;
    QString foundName;
    QString foundVersion;
    QXmlStreamReader xml(reply);
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement:
            path << xml.name().toString();
            if (path == package) {
                foundName.clear();
                foundVersion.clear();
            }
            break;
        case QXmlStreamReader::EndElement:
            if (path == package && foundName == ownId)
                checker->onFound(foundVersion, userAction);
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

#pragma once

#include <QCoreApplication>
#include <QString>

namespace ostra {

// The QML module URI; also the organisation domain and the default local socket name.
constexpr const char* applicationId = "com.quelt.ostra";

// The names the settings file, the data folders and the window title derive from.
constexpr const char* applicationName = "Ostra 2.0";
constexpr const char* applicationDisplayName = "Ostra (Beta)";
constexpr const char* organizationName = "Quelt";

// The project's version, as the build gives it.
#ifndef OSTRA_VERSION
#define OSTRA_VERSION ""
#endif
constexpr const char* applicationVersion = OSTRA_VERSION;

// Gives the running process the application's identity and version. The organisation domain is
// the application id, which also keys the start-up lock and the default socket name.
inline void applyIdentity()
{
    QCoreApplication::setApplicationName(QString::fromLatin1(applicationName));
    QCoreApplication::setOrganizationName(QString::fromLatin1(organizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(applicationId));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(applicationVersion));
}

} // namespace ostra

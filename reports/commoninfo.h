#pragma once

#include <QJsonObject>
#include <QProcessEnvironment>

class QQuickItem;

// The machine, environment, storage and settings facts of a diagnostic report.
namespace CommonInfo {

// "sysInfo", "envVars", "storage", "guiInfo" (the given GUI facts) and "userCfg".
QJsonObject build(const QJsonObject& guiFacts);

// Every variable, name to value; the values of names that speak of tokens, secrets,
// passwords, keys, credentials or authorisation read "(hidden)".
QJsonObject environment(const QProcessEnvironment& environment);

// The screens of the item's window and the window's surface format; empty without a window.
QJsonObject guiFacts(QQuickItem* item);

} // namespace CommonInfo

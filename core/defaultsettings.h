#pragma once

#include <QSettings>

// The store of every settings default. It is the system-scope store of the
// organisation and application, which the user store falls back to; its folder is
// a per-user one (see useWritableSystemScope), so that what it keeps, the
// installation id above all, survives from one start to the next.
class DefaultSettings : public QSettings
{
    Q_OBJECT
public:
    // Builds the folders and fills in every default (for the application identity
    // set on QCoreApplication).
    explicit DefaultSettings(QObject* parent = nullptr);

    // Points the system scope of INI settings at a folder the user can write. Must
    // run before the first settings object of the process is built; returns the
    // format to build them with.
    static QSettings::Format useWritableSystemScope();

    // The folder that holds the defaults file (below it: organisation/application.ini).
    static QString systemScopeFolder();

private:
    void build();
};

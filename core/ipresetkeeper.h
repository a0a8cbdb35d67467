#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

// Keeps the user's tuning presets. The settings object offers them to the QML (property
// `presets` and the preset operations of AppSettings) and hands every call on to the
// keeper, which knows the preset objects and their files.
class IPresetKeeper : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The preset objects, newest first, as a list of QObject*.
    virtual QVariant presets() const = 0;
    // The operations take preset objects (ImageProperties) as QObject*; objects that are
    // not presets of the keeper are ignored where a preset is expected.
    virtual void createPreset(QObject* properties) = 0;
    virtual void removePreset(QObject* preset) = 0;
    virtual void renamePreset(QObject* preset, const QString& name) = 0;
    virtual void overwritePreset(QObject* removePreset, QObject* renamePreset, const QString& name) = 0;
    // Brings list and folder in step.
    virtual void rescan() = 0;

signals:
    void presetsChanged();
    // A preset created or renamed by the user could not be written to its file (a full or
    // read-only disk); `reason` says why. It stays in the list and is written by a later
    // rescan once there is room, but is lost if the program ends before that.
    void presetNotSaved(QString name, QString reason);
};

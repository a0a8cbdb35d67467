#pragma once

#include "core/ipresetkeeper.h"

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QHash>
#include <QList>
#include <QString>
#include <QTimer>

class ImageProperties;

// The user's tuning presets: ".qpf" patch documents in one folder, kept as a list of
// ImageProperties objects (children of this object), newest first. The list leads: a
// listed preset whose file is missing or unreadable is written again; a readable file
// that no preset stands for is added. Files are written in place through QSaveFile and
// deleted only when their preset is removed. The folder is rescanned when the watcher
// reports a change and every 30 s.
class PresetFolder : public IPresetKeeper
{
    Q_OBJECT
public:
    explicit PresetFolder(const QString& folder, QObject* parent = nullptr);
    ~PresetFolder() override;

    QString folder() const { return m_folder; }
    QList<ImageProperties*> presetList() const { return m_presets; }

    QVariant presets() const override;
    void createPreset(QObject* properties) override;
    void removePreset(QObject* preset) override;
    void renamePreset(QObject* preset, const QString& name) override;
    void overwritePreset(QObject* removePreset, QObject* renamePreset, const QString& name) override;
    void rescan() override;

private:
    ImageProperties* listed(QObject* object) const;
    QString pathOf(const ImageProperties* preset) const;
    // Writes the preset's document over its file; false when that failed.
    bool write(const ImageProperties* preset) const;
    // Whether the file holds a readable patch document.
    static bool readable(const QString& path);
    // The bytes of a preset file: a regular file (links followed) of at most
    // kMaxDocumentBytes; false for anything else (a device, a pipe, a huge file).
    static bool readDocument(const QString& path, QByteArray& bytes);
    // Takes the preset out of the list, deletes its file and the object.
    void drop(ImageProperties* preset);
    void sortNewestFirst();

    struct Stamp
    {
        qint64 size = -1;
        QDateTime modified;
        bool operator==(const Stamp& o) const { return size == o.size && modified == o.modified; }
    };

    QString m_folder;
    QList<ImageProperties*> m_presets;
    // Files that did not load, as they were then: not read again until they change.
    QHash<QString, Stamp> m_refused;
    QFileSystemWatcher m_watcher;
    QTimer m_timer;
};

#pragma once

#include "core/ipresetkeeper.h"
#include "core/leavableworker.h"
#include "core/threadedwatcher.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>

class ReplyTarget;

class ImageProperties;

// The user's tuning presets: ".qpf" patch documents in one folder, kept as a list of
// ImageProperties objects (children of this object), newest first. The list leads: a
// listed preset whose file is missing or unreadable is written again; a readable file
// that no preset stands for is added. Files are written in place through QSaveFile and
// deleted only when their preset is removed. The folder is rescanned when the watcher
// reports a change and every 30 s; a rescan lists and reads the folder on a thread of its
// own and applies what it found on this object's thread.
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
    // A rescan is under way (its result not yet applied).
    bool isScanning() const { return m_scanning; }

private:
    ImageProperties* listed(QObject* object) const;
    QString pathOf(const ImageProperties* preset) const;
    // Writes the preset's document over its file; false when that failed.
    bool write(const ImageProperties* preset, QString* error = nullptr) const;
    // The same for a preset the user just made or renamed: a failure is told.
    void writeTold(const ImageProperties* preset);
    // Writes and notes whether the file now holds the preset (see m_unsaved).
    bool writeKept(const ImageProperties* preset, QString* error = nullptr);
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
    // A file of the folder that no listed preset stands for, as a rescan read it.
    struct Found
    {
        QString name;
        Stamp stamp;
        bool read = false;
        QByteArray bytes;
    };
    // What a rescan found (folder's thread) for the presets listed when it began.
    struct Scan
    {
        QStringList listed;
        bool folderGone = false;
        QStringList toWrite; // listed presets whose file is missing or broken
        QList<Found> found;
        bool more = false; // files left for the next scan (the share was read)
        bool retryWrites = false; // asked for or by the timer, not by the watcher
    };
    void startScan(bool retryWrites);
    static Scan scanFolder(
        const QString& folder, const QStringList& listed, const QHash<QString, Stamp>& refused);
    void apply(const Scan& scan);

    QString m_folder;
    QList<ImageProperties*> m_presets;
    // Files that did not load, as they were then: not read again until they change.
    QHash<QString, Stamp> m_refused;
    // Listed presets whose last write failed, by file name: their files may still hold an
    // older document, so each rescan writes them until a write succeeds.
    QSet<QString> m_unsaved;
    // File names of presets removed while the scan under way was running.
    QSet<QString> m_droppedWhileScanning;
    ThreadedWatcher m_watcher;
    QTimer m_timer;
    bool m_scanning = false;
    bool m_rescanAgain = false;
    bool m_retryWrites = false; // the next scan tries failed writes again
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_scans;
};

#pragma once

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QStorageInfo>
#include <QString>
#include <QVector>

#include <functional>

#include "pipeline/interfaces/recipe.h"
#include "pipeline/interfaces/volume.h"

// What one scheduling pass knows about its targets, their folders and volumes, and the
// local files it may copy from. The file system is asked off the GUI thread before the
// pass (`probe`, on a worker: a file system that hangs, a network share gone away, holds
// the worker and never the window); the pass reads the answers and asks nothing itself.
// A pass over thousands of targets in a few folders asks once per folder and once per
// volume. Forgotten at the end of each pass.
class PassVolumeCache
{
public:
    // What a pass is about to look at.
    struct Questions
    {
        struct Target
        {
            QString path;
            Volume volume; // the volume the request expects its target on
        };
        QVector<Target> targets;
        QSet<QString> files; // local copies that may serve as sources
        // Files the import wrote, checked before anything is decided on them: a copy just
        // completed, a copy verified, the copies of a picture the source is to delete.
        QSet<QString> checks;
        // Checks that also run the source's acceptance test on the file.
        struct Validation
        {
            Recipe recipe;
            std::function<bool(const QUrl&, const Recipe&)> validator;
        };
        QHash<QString, Validation> validations;
        bool isEmpty() const { return targets.isEmpty() && files.isEmpty() && checks.isEmpty(); }
    };
    // What the file system said.
    struct Facts
    {
        struct Target
        {
            bool exists = false;
            bool isDir = false;
            qint64 size = 0;
        };
        struct Folder
        {
            QStorageInfo storage; // of the folder, or the nearest existing folder above it
            int made = -1; // -1: not tried (the volume was not the one expected)
            int writable = -1;
        };
        struct File
        {
            bool exists = false;
            qint64 size = 0;
            QDateTime modified;
        };
        struct Checked
        {
            bool isFile = false; // a regular file that could be opened
            qint64 size = 0;
            QDateTime modified;
            bool valid = false; // the source's test accepted it (when it was asked)
        };
        QHash<QString, Target> targets;
        QHash<QString, Folder> folders;
        QHash<QString, File> files;
        QHash<QString, Checked> checked;
    };
    // Called on the probe's thread before each path is asked about (tests hold it there).
    using Hook = std::function<void(const QString& path)>;

    // Asks the file system; runs on any thread. A target that is absent has its folder
    // made, with its parents, when the folder's volume is ready, writable and the one the
    // target expects (as the pass would make it next).
    static Facts probe(const Questions& questions, const Hook& hook);
    // Opens the file and reads its size and modification time from what was opened.
    static Facts::Checked check(const QString& path);

    void setFacts(Facts facts);
    // The target was asked about.
    bool knows(const QString& target) const { return m_facts.targets.contains(target); }
    bool exists(const QString& target) const { return m_facts.targets.value(target).exists; }
    bool isDir(const QString& target) const { return m_facts.targets.value(target).isDir; }
    // The target's size (0 when absent), or `otherwise` when it was not asked about.
    qint64 size(const QString& target, qint64 otherwise) const;
    // The storage that holds `folder`, or the nearest existing folder above it: a folder
    // that is yet to be made belongs to the volume it will be made on. Invalid when unknown.
    QStorageInfo storageOf(const QString& folder) const;
    bool knowsFolder(const QString& folder) const { return m_facts.folders.contains(folder); }
    // 1 made (or there), 0 failed, -1 not tried.
    int made(const QString& folder) const;
    // 1 writable, 0 not, -1 not asked.
    int writable(const QString& folder) const;
    // A file just completed and checked may serve as a local source in the same pass.
    bool knowsFile(const QString& file) const
    {
        return m_facts.files.contains(file) || m_facts.checked.contains(file);
    }
    // The local file as it was found; false when it is absent or was not asked about.
    bool stampOf(const QString& file, qint64* size, QDateTime* modified) const;
    // What a check found of the file; null when it was not checked.
    const Facts::Checked* checked(const QString& path) const
    {
        const auto it = m_facts.checked.constFind(path);
        return it == m_facts.checked.cend() ? nullptr : &it.value();
    }
    // Bytes the user may still write on the volume, as the probe read them.
    qint64 bytesAvailable(const Volume& volume, const QStorageInfo& storage);
    // Files written inline during the pass take their room from the figure.
    void spend(const Volume& volume, qint64 bytes);
    void clear();

private:
    Facts m_facts;
    QHash<Volume, qint64> m_available;
};

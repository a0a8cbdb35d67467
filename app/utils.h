#pragma once

#include <QChar>
#include <QList>
#include <QObject>
#include <QSet>
#include <QStorageInfo>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

#include "core/leavableworker.h"

class ReplyTarget;

// What the QML cannot do by itself: file dialogs, path and URL conversions, free space,
// writability, showing a folder in the system's file browser, and the texts of sizes and
// counts. One object per QML
// engine (the singleton "Utils").
class Volumes;

class Utils : public QObject
{
    Q_OBJECT

public:
    explicit Utils(QObject* parent = nullptr);
    ~Utils() override;

    // The URL of a local path, whatever characters its names hold ("#", "%", "?").
    Q_INVOKABLE QUrl fileUrl(const QString& path) const;
    Q_INVOKABLE QString urlToFilePath(const QUrl& url) const;
    Q_INVOKABLE QString urlToFileName(const QUrl& url) const;
    Q_INVOKABLE QString fileNameFromUrl(const QUrl& url) const;

    // Dialogs on the active window; `location` is a QStandardPaths::StandardLocation whose
    // first folder the dialog starts in.
    Q_INVOKABLE QUrl openFile(const QString& title, const QString& filter, int location);
    Q_INVOKABLE QUrl openFile(const QString& title, const QString& filter);
    Q_INVOKABLE QList<QUrl> openFiles(const QString& title, const QString& filter, int location);
    Q_INVOKABLE QList<QUrl> openFiles(const QString& title, const QString& filter);
    Q_INVOKABLE QString openFolder(const QString& title, const QString& location);
    Q_INVOKABLE QString openFolder(const QString& title, int location);
    Q_INVOKABLE QString openFolder(const QString& title);
    Q_INVOKABLE QUrl openFolderUrl(const QString& title, const QUrl& location);
    Q_INVOKABLE QUrl openFolderUrl(const QString& title, int location);
    Q_INVOKABLE QUrl openFolderUrl(const QString& title);

    // Asks for the free bytes of the mounted volume of `volumes` that holds the path. The
    // volume is read on a worker (a volume that hangs holds the worker, never the window);
    // the answer comes queued with spaceFreeKnown (-1 when no volume holds the path, or
    // before the volumes' first read of the mount table). A path asked again while its
    // answer is awaited is answered once.
    Q_INVOKABLE void askSpaceFree(const QString& path, Volumes* volumes);
    // The same, read on the calling thread.
    static qlonglong estimateSpaceFree(const QList<QStorageInfo>& volumes, const QString& path);
    // Whether the path's nearest existing ancestor (the path itself when it exists) is a
    // writable folder.
    Q_INVOKABLE bool isDirWritable(const QString& path) const;
    // The same, asked on a worker; the answer comes queued with dirWritableKnown.
    Q_INVOKABLE void askDirWritable(const QString& path);
    // The path itself when it exists, else its nearest existing ancestor; climbs by path
    // text, so a tree of missing folders ends at the root at the latest.
    static QString nearestExisting(const QString& path);
    Q_INVOKABLE bool isFileExists(const QString& path) const;
    // Asks which of the names the folder holds, on a worker; the answer comes queued with
    // filesExistKnown and the number returned here.
    Q_INVOKABLE int askFilesExist(const QString& folder, const QStringList& names);
    Q_INVOKABLE QChar dirSeparator() const;
    // True when the path exists already, else whether it could be made with its parents.
    Q_INVOKABLE bool createPath(const QString& path) const;
    // The same, done on a worker; the answer comes queued with pathCreated. A relative
    // path is taken from the working folder of the moment of asking. Questions about
    // folders are answered as each folder answers, not in the order asked.
    Q_INVOKABLE void askCreatePath(const QString& path);
    Q_INVOKABLE void showFolder(const QString& path) const;

    // The texts of sizes and counts every view shows ("12 KB", "1 picture", "3 pictures").
    Q_INVOKABLE QString sizeText(qlonglong bytes) const;
    Q_INVOKABLE QString countText(qlonglong count, const QString& one, const QString& many) const;
    // The note at the end of a batch edit: `done` when every picture was changed, else the
    // picture, or the number of pictures, that could not be.
    Q_INVOKABLE QString batchNote(const QString& done, const QList<QUrl>& failed) const;
    // Plain text (a path, a system's error) made safe to put into a styled text.
    Q_INVOKABLE QString escapedText(const QString& text) const { return text.toHtmlEscaped(); }

signals:
    void spaceFreeKnown(const QString& path, qlonglong bytes);
    void dirWritableKnown(const QString& path, bool writable);
    void filesExistKnown(int question, const QStringList& existing);
    void pathCreated(const QString& path, bool created);

private:
    // Runs a question about a folder on a worker of its own: a folder that hangs holds its
    // own question only, never the ones asked after it about other folders.
    void ask(std::function<void()> question);

    LeavableWorker m_worker; // asks the volumes for their free space, one after another
    std::vector<std::unique_ptr<LeavableWorker>> m_folderWorkers;
    std::shared_ptr<ReplyTarget> m_replies;
    QSet<QString> m_asked; // paths whose answer is awaited
    int m_questions = 0; // numbers the questions of askFilesExist
};

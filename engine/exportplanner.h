#pragma once

#include <QDir>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

#include "core/leavableworker.h"

class ReplyTarget;

// Where the files of an export go: makes the export folder and picks a free name for each
// output on a worker (a folder on a volume that hangs holds the worker, never the window),
// and hands the outputs back on the owner's thread, one request after another in the order
// asked. A name is not picked twice: neither one already there, nor one of an output
// queued or being written (`claimed`), nor one planned by an earlier request whose outputs
// are not queued yet.
class ExportPlanner : public QObject
{
    Q_OBJECT
public:
    // One picture of a request: its key and the name its outputs get before the extension.
    struct Picture
    {
        QUrl location;
        QString baseName;
    };
    // One output: the picture, the engine's format number and the file to write.
    struct Output
    {
        QUrl location;
        int format = 0;
        QString path;
    };
    // Called on the owner's thread with the outputs, in the order of the pictures and then
    // of the formats; `folderMade` false (and no outputs) when the folder could not be made.
    using Done = std::function<void(bool folderMade, const QList<Output>& outputs)>;

    // `claimed` answers the paths of outputs queued or being written; it is called on the
    // worker.
    explicit ExportPlanner(std::function<QSet<QString>()> claimed, QObject* parent = nullptr);
    // Requests not answered yet are dropped; a folder that hangs is left to the worker.
    ~ExportPlanner() override;

    // Plans the outputs of `pictures` in the formats of the bits 0 to 3 of `formats`
    // (".jpg", ".ppm", ".dng", ".hdr") in `folder` (absolute).
    void plan(const QString& folder, const QList<Picture>& pictures, int formats, Done done);
    // Requests asked so far are not answered.
    void cancel();
    // The owner goes: plans still on the worker no longer ask it for its claimed paths.
    void forgetClaims();
    // Requests not answered yet.
    int pending() const { return m_pending; }

    // The path an output gets in `dir`, opened as `folder`: the base name plus the
    // extension, else " (2)", " (3)" ... before the extension, the first not in `taken`
    // (compared without case, as the file system of an export folder may) nor already
    // there; it is added to `taken`. Asks the file system.
    static QString freePath(
        int folder, const QDir& dir, const QString& baseName, const QString& extension, QSet<QString>& taken);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    LeavableWorker m_worker;
    std::shared_ptr<ReplyTarget> m_replies;
    int m_generation = 0; // counts the cancels
    int m_pending = 0;
};

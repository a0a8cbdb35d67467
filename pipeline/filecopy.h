#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>
#include <memory>

#include "engine/fileperm.h"
#include "pipeline/ifilesink.h"
#include "pipeline/interfaces/recipe.h"
#include "pipeline/interfaces/volume.h"
#include "pipeline/iprovider.h"

class IFileCalls;

// Copies one already imported local file to a new target on the target volume's
// low-priority thread: checks that the source is still the file that was recorded,
// copies it (through a temporary name when an appendix is set), makes the copy durable
// (file synced, renamed into place, folder synced) and only then reports. One worker
// serves one copy and deletes itself afterwards. `copy` does it all; a CopyGroup runs
// `place` and `settle` instead, syncing the folder once for several copies between them.
class FileCopy : public QObject
{
    Q_OBJECT
public:
    explicit FileCopy(QObject* parent = nullptr);

    // Set by the scheduler before the worker moves to its thread.
    FilePerm* filePerm = nullptr;
    QString source;
    qint64 size = 0; // the source's size when it completed
    QDateTime modified; // the source's last modification when it completed
    IProvider::Validator validator;
    QString target;
    Volume volume;
    Recipe recipe;
    QString appendix; // empty: straight to the target; ".transfer" for raw files

    // Raised by whoever stops the copy threads; a worker waiting for a lock gives up.
    std::shared_ptr<std::atomic<bool>> stop;
    // Raised when nobody wants this copy any more (its import was cancelled): a copy not
    // yet placed is not made, and fails.
    std::shared_ptr<std::atomic<bool>> withdrawn;
    // The file calls (tests inject failures and watch their order).
    IFileCalls* calls = nullptr;

    // What a failed write tells the scheduler (NoError: nothing it can act on).
    static IFileSink::Error obstacleFor(int error);

    // The first half of `copy`: checks the source, writes and syncs the data under the
    // work name and renames it to the target. The name is not durable yet: until
    // `settle`, the target's folder must be synced and the copy must not be reported.
    // True when the target is in place.
    bool place();
    // `place` put the target in place.
    bool isPlaced() const { return m_tried && m_error == 0; }
    // The folder that receives the target.
    QString folder() const;
    // The second half, once the folder was synced (`folderError` 0) or failed to be (its
    // errno: the copy then fails and its target goes). Checks the source again and says
    // what went wrong (onFailed, onObstacle); answers whether the copy succeeded.
    // Emits no onCopied: the caller reports.
    bool settle(int folderError);
    // The file calls in use.
    IFileCalls& io() const;

public slots:
    void setTwoStage(QString appendix);
    void copy();

signals:
    // The source is no longer the recorded file.
    void onFailed(QString source, Recipe recipe);
    // Why the target could not be written; comes before onCopied(..., false).
    void onObstacle(QUrl target, Recipe recipe, IFileSink::Error error);
    void onCopied(QString target, Recipe recipe, Volume volume, bool success);

private:
    bool stopped() const;
    bool sourceValid();
    QString workName() const;
    // Data synced under the work name and renamed to the target: 0 on success, else errno.
    int copyInPlace(const QString& work);

    // Between place and settle.
    bool m_valid = false;
    bool m_tried = false; // the copy was attempted (the target's token was had)
    int m_error = 0;
    FileToken m_sourceToken;
    FileToken m_targetToken;
};

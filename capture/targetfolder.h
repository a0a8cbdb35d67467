#pragma once

#include <QDir>
#include <QObject>
#include <QPointer>
#include <QStorageInfo>
#include <QUrl>

#include <functional>
#include <memory>

#include "core/leavableworker.h"
#include "core/progressmodel.h"

class ReplyTarget;
class Volumes;

// One destination folder of an import: its path, the volume that holds it with the
// space the user may still fill there, whether it exists and is writable. It can create
// the folder, and follows a progress model of the transfers into it so that the free
// space is read again while they progress. Its volume is looked up among the volumes of a
// Volumes object, which reads the mount table off the GUI thread; without one, or before
// its first read, the folder is placed on the root volume. What the folder is (its volume,
// whether it exists and is writable, the free space) is read on a worker when the folder or
// the volumes change, and the free space again as transfers into the folder progress: a
// volume that hangs, a network share gone away, holds the worker and not the window. The
// properties give the last figures read (no volume, not there, not writable, free space -1
// until the first read is in); attribChanged and freeSpaceChanged tell new ones, and
// attributesRead that a read of the folder is in. queryAttributes and create, which the user
// asks for, are done on the worker too.
class TargetFolder : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl url READ url WRITE setUrl NOTIFY folderChanged)
    Q_PROPERTY(QString path READ path WRITE setPath NOTIFY folderChanged)
    Q_PROPERTY(ProgressModel* projected READ projected WRITE setProjected NOTIFY freeSpaceChanged)
    Q_PROPERTY(qint64 freeSpace READ freeSpace NOTIFY freeSpaceChanged)
    Q_PROPERTY(bool exists READ exists NOTIFY attribChanged)
    Q_PROPERTY(bool writable READ writable NOTIFY attribChanged)
    Q_PROPERTY(Volumes* volumes READ volumes WRITE setVolumes NOTIFY volumesChanged)
public:
    // What one read found.
    struct Attributes
    {
        QStorageInfo storage;
        bool exists = false;
        bool writable = false;
        qint64 free = -1;
    };

    explicit TargetFolder(QObject* parent = nullptr);
    ~TargetFolder() override;

    QUrl url() const;
    QString path() const;
    ProgressModel* projected() const { return m_projected; }
    // Bytes the user may still write on the folder's volume (space reserved for root
    // does not count), as last read; -1 while unknown.
    qint64 freeSpace() const { return m_free; }
    // Called on the worker before the folder, or its volume for its free space, is asked
    // about (tests hold it there).
    void setReadHook(std::function<void(const QString& rootPath)> hook) { m_readHook = std::move(hook); }
    bool exists() const { return m_exists; }
    bool writable() const { return m_writable; }
    QStorageInfo storage() const { return m_storage; }
    Volumes* volumes() const { return m_volumes; }

    // Creates the folder with every missing parent on the worker, then reads it again;
    // attributesRead tells when that read is in (`exists` then says whether it is there on a
    // ready volume).
    Q_INVOKABLE void create();
    // Reads the volume and the folder again on the worker; what was read before this call
    // and comes in after it does not stand. attributesRead tells when the new read is in.
    Q_INVOKABLE void queryAttributes();

public slots:
    void setDir(const QDir& dir);
    void setPath(const QString& path);
    void setUrl(const QUrl& url);
    void setProjected(ProgressModel* model);
    void onProgress();
    // The folder is placed again whenever their list changes.
    void setVolumes(Volumes* volumes);

signals:
    void folderChanged();
    void attribChanged();
    void freeSpaceChanged();
    void volumesChanged();
    // A read of the current folder is in.
    void attributesRead();

private:
    void onMountedChanged();
    enum class Read {
        FreeSpace, // only the free space
        Attributes, // the folder, its volume and the free space there
        Create, // the folder made, then read
    };
    // Reads on the worker; once more after a read under way.
    void readLater(Read what);
    void readFreeSpace();
    void apply(const Attributes& read);
    void setFree(qint64 free);

    QDir m_dir;
    QStorageInfo m_storage;
    qint64 m_outstanding = 0;
    ProgressModel* m_own;
    QPointer<ProgressModel> m_projected;
    QPointer<Volumes> m_volumes;
    qint64 m_free = -1;
    std::function<void(const QString&)> m_readHook;
    LeavableWorker m_reads;
    std::shared_ptr<ReplyTarget> m_replies;
    bool m_exists = false;
    bool m_writable = false;
    int m_generation = 0; // counts the changes of folder and the reads on the GUI thread
    bool m_reading = false;
    bool m_createAgain = false;
    bool m_attributesAgain = false;
    bool m_freeAgain = false;
};

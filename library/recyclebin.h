#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <deque>
#include <memory>

#include "core/leavableworker.h"

#include "engine/fileperm.h"
#include "engine/imagelocator.h"

class QTimer;
class ReplyTarget;

// Moves a picture to the desktop trash with the files that belong to it: its state file
// and its low-resolution copies. The moves run on a worker, one picture after another (the
// disk may hang); recycled() tells how each went.
class RecycleBin : public QObject
{
    Q_OBJECT
    Q_PROPERTY(FilePerm* filePerm READ filePerm WRITE setFilePerm)
    Q_PROPERTY(ImageLocator* imageService READ imageService WRITE setImageService)
    Q_PROPERTY(QString lowResFolder READ lowResFolder WRITE setLowResFolder)
    Q_PROPERTY(bool permanent READ permanent CONSTANT)
    Q_PROPERTY(int busyWaitMs READ busyWaitMs WRITE setBusyWaitMs)
    Q_PROPERTY(int pending READ pending NOTIFY recycled)
public:
    explicit RecycleBin(QObject* parent = nullptr);
    ~RecycleBin() override;

    FilePerm* filePerm() const { return m_filePerm; }
    void setFilePerm(FilePerm* filePerm) { m_filePerm = filePerm; }
    ImageLocator* imageService() const { return m_imageService; }
    QString lowResFolder() const { return m_lowResFolder; }
    void setImageService(ImageLocator* locator);
    bool permanent() const { return false; }
    int busyWaitMs() const { return m_busyWaitMs; }
    void setBusyWaitMs(int ms) { m_busyWaitMs = ms; }

    // Sends the picture and its side files to the trash, under the file's exclusive lock:
    // all of them, or none when the file stays busy or the trash refuses one (recycled()
    // tells which, later).
    Q_INVOKABLE void recycleImage(const QUrl& url);
    // Just that file.
    Q_INVOKABLE bool recycle(const QUrl& url);
    // The files recycleImage would move, the picture first (asks the disk).
    QList<QUrl> sideFiles(const QUrl& url) const { return sideFiles(url, m_lowResFolder); }
    static QList<QUrl> sideFiles(const QUrl& url, const QString& lowResFolder);
    // Pictures asked for whose answer has not come yet.
    int pending() const { return m_pending; }

public slots:
    void setLowResFolder(const QString& folder) { m_lowResFolder = folder; }

signals:
    // The answer to recycleImage: whether the picture and its files went to the trash.
    void recycled(QUrl url, bool ok);

private:
    // A picture whose file is held elsewhere, waiting for it within its bound.
    struct Waiting
    {
        QUrl url;
        QDeadlineTimer deadline;
    };
    void pollBusy();
    void moveLater(const QUrl& url, FileToken token, const QDeadlineTimer& deadline);
    void answer(const QUrl& url, bool ok);

    QPointer<FilePerm> m_filePerm;
    QPointer<ImageLocator> m_imageService;
    QString m_lowResFolder;
    int m_busyWaitMs = 3000;
    int m_pending = 0;
    std::deque<Waiting> m_waiting;
    QTimer* m_poll = nullptr;
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_mover;
};

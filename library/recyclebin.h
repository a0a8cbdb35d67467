#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include "engine/fileperm.h"
#include "engine/imagelocator.h"

// Moves a picture to the desktop trash with the files that belong to it: its state file
// and its low-resolution copies.
class RecycleBin : public QObject
{
    Q_OBJECT
    Q_PROPERTY(FilePerm* filePerm READ filePerm WRITE setFilePerm)
    Q_PROPERTY(ImageLocator* imageService READ imageService WRITE setImageService)
    Q_PROPERTY(QString lowResFolder READ lowResFolder WRITE setLowResFolder)
    Q_PROPERTY(bool permanent READ permanent CONSTANT)
    Q_PROPERTY(int busyWaitMs READ busyWaitMs WRITE setBusyWaitMs)
public:
    explicit RecycleBin(QObject* parent = nullptr);

    FilePerm* filePerm() const { return m_filePerm; }
    void setFilePerm(FilePerm* filePerm) { m_filePerm = filePerm; }
    ImageLocator* imageService() const { return m_imageService; }
    QString lowResFolder() const { return m_lowResFolder; }
    void setImageService(ImageLocator* locator);
    bool permanent() const { return false; }
    int busyWaitMs() const { return m_busyWaitMs; }
    void setBusyWaitMs(int ms) { m_busyWaitMs = ms; }

    // The picture and its side files, under the file's exclusive lock; false when the
    // file stays busy or the trash refuses.
    Q_INVOKABLE bool recycleImage(const QUrl& url);
    // Just that file.
    Q_INVOKABLE bool recycle(const QUrl& url);
    // The files recycleImage would move, the picture first.
    QList<QUrl> sideFiles(const QUrl& url) const;

public slots:
    void setLowResFolder(const QString& folder) { m_lowResFolder = folder; }

private:
    QPointer<FilePerm> m_filePerm;
    QPointer<ImageLocator> m_imageService;
    QString m_lowResFolder;
    int m_busyWaitMs = 3000;
};

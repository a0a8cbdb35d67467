#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

// What every per-file object knows of its file: display name, file names, creation time
// and size, and the device object id of a camera file.
class Z40ElementProperties : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QString baseName READ baseName WRITE setBaseName NOTIFY baseNameChanged)
    Q_PROPERTY(QString fileName READ fileName WRITE setFileName NOTIFY fileNameChanged)
    Q_PROPERTY(QDateTime timestampCreated READ timestampCreated WRITE setTimestampCreated NOTIFY
            timestampCreatedChanged)
    Q_PROPERTY(qint64 size READ size WRITE setSize NOTIFY sizeChanged)

public:
    explicit Z40ElementProperties(QObject* parent = nullptr);

    QString name() const { return m_name; }
    QString baseName() const { return m_baseName; }
    QString fileName() const { return m_fileName; }
    QDateTime timestampCreated() const { return m_timestampCreated; }
    QString objectID() const { return m_objectID; }
    qint64 size() const { return m_size; }

    // Each writer assigns and notifies only on a real change.
    void setName(const QString& name);
    void setBaseName(const QString& baseName);
    void setFileName(const QString& fileName);
    void setTimestampCreated(const QDateTime& timestamp);
    void setSize(qint64 size);
    void setObjectID(const QString& id) { m_objectID = id; }

    // baseName and fileName from the path ("photo.final.vrx": "photo", "photo.final.vrx").
    Q_INVOKABLE void setFileInfo(const QString& path);

signals:
    void nameChanged();
    void baseNameChanged();
    void fileNameChanged();
    void timestampCreatedChanged();
    void sizeChanged();

private:
    QString m_name;
    QString m_baseName;
    QString m_fileName;
    QDateTime m_timestampCreated;
    QString m_objectID;
    qint64 m_size = 0;
};

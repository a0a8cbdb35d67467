#pragma once

#include "core/leavableworker.h"
#include "engine/streampart.h"

#include <QDateTime>
#include <QHash>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>
#include <QUuid>
#include <QVariantList>

#include <memory>
#include <vector>

class ReplyTarget;

// Per-camera calibration store. Calibration files found on a camera are copied into the
// "calibration" folder of the data folder and recorded in table `metafiles`; pictures
// get their camera's resources back as shared stream parts that follow the raw bytes
// into the engine.
//
// The table is written on the store's own thread; get() answers from an index kept in
// memory and may be called directly from any thread. Offered files, which are on the
// camera, are read on a reader thread of the store's own.
class Metahistory : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariantList reliabilities READ reliabilities CONSTANT)
public:
    // Who took a picture: the camera and the capture time.
    struct Attribution
    {
        QUuid device;
        QDateTime captureTime;
    };
    // Resource index to its bytes.
    using Metafiles = QHash<int, std::shared_ptr<StreamPart>>;

    // Uses the database and data folder of the settings.
    explicit Metahistory(QObject* parent = nullptr);
    Metahistory(const QString& databasePath, const QString& dataFolder, QObject* parent = nullptr);
    ~Metahistory() override;

    bool isOpen() const { return m_open; }
    // Offered files are being read, or their bytes wait to be stored.
    bool isReading() const { return m_reading > 0; }

    // The camera that took the raw file of `source`; a null device when it can't be read.
    static Attribution readCaptureIdentity(StreamPart& source);
    // The camera a calibration file (such as "hotpixel.rec") belongs to; null when the file
    // can't be read or names none.
    static QUuid readCalibrationCamera(const QString& path);

    Q_INVOKABLE QStringList resourceNames() const { return m_resourceNames; }
    Q_INVOKABLE QVariantList reliabilities() const;
    Q_INVOKABLE QString resourceName(int index) const { return m_resourceNames.value(index); }
    Q_INVOKABLE double reliability(int index) const { return m_reliabilities.value(index); }

    // Stores `length` bytes as `resource` of `device` unless the same bytes are stored
    // already. Called off the store's thread, the bytes are copied and stored there.
    void put(const QUuid& device, int resource, const uchar* data, qint64 length, int reliability);

    // Where the store keeps its copies.
    QString calibrationFolder() const;

signals:
    void notifyUpdatedForDevice(QUuid device, int resource);

public slots:
    // Offers a file found on the camera under its reserved name: it is read off this
    // thread and stored (notifyUpdatedForDevice) once its bytes are in, offers in order.
    void offer(QString name, QUrl location);
    // The camera's resources (possibly none). Safe from any thread.
    Metahistory::Metafiles get(Metahistory::Attribution attribution);

private:
    struct Row
    {
        qint64 rowId;
        int resourceId;
        QString location;
        qint64 position;
        qint64 length;
    };

    // What the reader thread took from an offered file: its camera and bytes; a null
    // device when it names none or could not be read whole.
    struct Read
    {
        QUuid device;
        QByteArray bytes;
    };
    static Read readOffer(int resource, const QUrl& location);

    void open(const QString& databasePath);
    void loadIndex();
    void doPut(const QUuid& device, int resource, const QByteArray& bytes, int reliability);
    QString writeCopy(int resource, const uchar* data, qint64 length);

    const QStringList m_resourceNames { QStringLiteral("hotpixel.rec") };
    const QList<double> m_reliabilities { 0.99, 0.9, 0.8, 0.4, 0.2 };
    QString m_dataFolder;
    bool m_open = false;
    QSqlDatabase m_db;
    QSqlQuery m_match;
    QSqlQuery m_insert;
    QSqlQuery m_locate;
    QSqlQuery m_list;

    // Guards the index and the cache, which get() reads from any thread.
    mutable QMutex m_mutex;
    QHash<QUuid, std::vector<Row>> m_index;
    QHash<QUuid, QHash<int, std::weak_ptr<StreamPart>>> m_cache;

    int m_reading = 0;
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_reads;
};

Q_DECLARE_METATYPE(Metahistory::Attribution)
Q_DECLARE_METATYPE(Metahistory::Metafiles)

#include "capture/hasbeenmodel.h"
#include "capture/logging.h"

#include "core/appsettings.h"
#include "core/database.h"
#include "core/replytarget.h"
#include "engine/iimageservice.h"

#include <QVariant>

#include <mutex>

namespace {

const QStringList kSchema { QStringLiteral(":/schema/db/uuids.sql"),
    QStringLiteral(":/schema/db/uuids-image.sql") };
const QString kInsert = QStringLiteral("INSERT OR IGNORE INTO uuids VALUES(:dev, :img)");

} // namespace

// The marks waiting for the writer, shared by the model and the writer's tasks.
struct HasBeenModel::Pending
{
    std::mutex mutex;
    QList<QPair<QByteArray, QByteArray>> marks;
    bool queued = false; // a write task is queued and has not taken the marks yet
};

HasBeenModel::HasBeenModel(QObject* parent)
    : QObject(parent)
    , m_pending(std::make_shared<Pending>())
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    open(AppSettings::hasBeenDatabase());
}

HasBeenModel::HasBeenModel(const QString& path, QObject* parent)
    : QObject(parent)
    , m_pending(std::make_shared<Pending>())
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    open(path);
}

HasBeenModel::~HasBeenModel()
{
    m_replies->close();
    if (!m_writer.leave(kLeaveMs))
        qCWarning(lcCapture) << "A write of imported marks still runs: left to end on its own";
    // What the writer never took is written here: no mark is lost at quit.
    QList<QPair<QByteArray, QByteArray>> left;
    {
        std::lock_guard<std::mutex> lock(m_pending->mutex);
        left.swap(m_pending->marks);
    }
    if (m_open && !left.isEmpty() && !write(m_db, left))
        qCWarning(lcCapture) << "Marks of imported pictures not written:" << left.size();
    if (m_open)
        closeDatabase(m_db, { &m_pair, &m_image, &m_insert });
}

bool HasBeenModel::isWriting() const
{
    return !m_unsaved.isEmpty();
}

void HasBeenModel::open(const QString& path)
{
    m_path = path;
    m_open = openDatabase(m_db, path, kSchema);
    if (!m_open) {
        qCWarning(lcCapture) << "No database of imported pictures" << path;
        return;
    }
    m_pair = QSqlQuery(m_db);
    m_image = QSqlQuery(m_db);
    m_insert = QSqlQuery(m_db);
    m_open = m_pair.prepare(QStringLiteral("SELECT * FROM uuids WHERE deviceUUID=:dev and imageUUID=:img"))
        && m_image.prepare(QStringLiteral("SELECT * FROM uuids WHERE imageUUID=:img"))
        && m_insert.prepare(kInsert);
    if (!m_open)
        qCWarning(lcCapture) << "Database of imported pictures unusable" << path;
}

bool HasBeenModel::unsaved(const QUuid& dev, const QUuid& img) const
{
    return dev.isNull() ? m_unsavedImages.contains(img) : m_unsaved.contains(qMakePair(dev, img));
}

bool HasBeenModel::hasBeen(QUuid dev, QUuid img)
{
    if (!m_open || img.isNull())
        return false;
    if (unsaved(dev, img))
        return true;
    // Found by index (by pair, or by picture alone): no scan of a table that grows with
    // every import.
    QSqlQuery& query = dev.isNull() ? m_image : m_pair;
    if (!dev.isNull())
        query.bindValue(QStringLiteral(":dev"), dev.toRfc4122());
    query.bindValue(QStringLiteral(":img"), img.toRfc4122());
    const bool found = execLogged(query) && query.next();
    query.finish();
    return found;
}

void HasBeenModel::markBeen(QUuid dev, QUuid img)
{
    if (m_open && !dev.isNull() && !img.isNull() && !unsaved(dev, img)) {
        if (m_path == QLatin1String(":memory:")) {
            // Only this connection sees the database; nothing goes to a disk.
            write(m_db, { qMakePair(dev.toRfc4122(), img.toRfc4122()) });
        } else {
            m_unsaved.insert(qMakePair(dev, img));
            m_unsavedImages.insert(img);
            {
                std::lock_guard<std::mutex> lock(m_pending->mutex);
                m_pending->marks << qMakePair(dev.toRfc4122(), img.toRfc4122());
            }
            startWrite();
        }
    }
    emit notifyHasBeen(dev, img);
}

void HasBeenModel::startWrite()
{
    {
        std::lock_guard<std::mutex> lock(m_pending->mutex);
        if (m_pending->queued)
            return;
        m_pending->queued = true;
    }
    // The task owns or shares all it uses: it may outlive the model.
    const std::shared_ptr<Pending> pending = m_pending;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const QString path = m_path;
    m_writer.start([this, pending, replies, path] {
        QList<QPair<QByteArray, QByteArray>> marks;
        {
            std::lock_guard<std::mutex> lock(pending->mutex);
            marks.swap(pending->marks);
            pending->queued = false;
        }
        if (marks.isEmpty())
            return;
        QSqlDatabase db;
        bool written = false;
        if (openDatabase(db, path, kSchema)) {
            written = write(db, marks);
            closeDatabase(db);
        }
        if (!written)
            qCWarning(lcCapture) << "Marks of imported pictures not written:" << marks.size() << path;
        replies->post([this, marks, written] {
            // A mark not written still counts for as long as the model is there.
            if (!written)
                return;
            for (const auto& mark : marks) {
                const QUuid img = QUuid::fromRfc4122(mark.second);
                m_unsaved.remove(qMakePair(QUuid::fromRfc4122(mark.first), img));
                m_unsavedImages.remove(img);
            }
            // Marked again while this write ran: those are in the next one.
            for (const auto& pair : qAsConst(m_unsaved))
                m_unsavedImages.insert(pair.second);
        });
    });
}

bool HasBeenModel::write(QSqlDatabase& db, const QList<QPair<QByteArray, QByteArray>>& marks)
{
    if (!db.transaction())
        return false;
    bool ok = true;
    {
        QSqlQuery insert(db);
        ok = insert.prepare(kInsert);
        for (const auto& mark : marks) {
            if (!ok)
                break;
            insert.bindValue(QStringLiteral(":dev"), mark.first);
            insert.bindValue(QStringLiteral(":img"), mark.second);
            ok = execLogged(insert);
        }
    }
    if (ok && db.commit())
        return true;
    db.rollback();
    return false;
}

void HasBeenModel::markBeenFromMetadata(VrxMetadata metadata)
{
    markBeen(metadata.deviceUuid, metadata.imageUuid);
}

void HasBeenModel::expectValidation(QUrl target)
{
    m_expected.insert(IImageService::fileKey(target));
}

void HasBeenModel::markValidated(VrxMetadata metadata)
{
    const QUrl key = IImageService::fileKey(metadata.location);
    if (metadata.invalid || !m_expected.contains(key))
        return;
    m_expected.remove(key);
    markBeenFromMetadata(metadata);
}

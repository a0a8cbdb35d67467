#include "engine/keptedits.h"
#include "engine/logging.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr quint32 kMagic = 0x4b455044; // "KEPD"
constexpr quint16 kVersion = 1;
constexpr int kDigestBytes = 32;
const QString kSuffix = QStringLiteral(".kept");
// How old a temporary file must be to count as a write a crash cut short.
constexpr qint64 kUnfinishedAfterSecs = 10 * 60;

QByteArray digest(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QByteArray encode(const QUrl& key, const UnsavedState& edits)
{
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_5_15);
    out << kMagic << kVersion << key.toString(QUrl::FullyEncoded) << edits.statePath << edits.picture
        << edits.madeOver.size << edits.madeOver.mtimeNs << edits.madeOver.inode << edits.madeOver.device
        << QByteArray::fromRawData(edits.bytes.data(), int(edits.bytes.size()));
    return body + digest(body);
}

// Null when the bytes are not one whole record of this version.
std::shared_ptr<UnsavedState> decode(const QByteArray& bytes, QUrl* key)
{
    if (bytes.size() <= kDigestBytes)
        return nullptr;
    const QByteArray body = bytes.left(bytes.size() - kDigestBytes);
    if (digest(body) != bytes.right(kDigestBytes))
        return nullptr;
    QDataStream in(body);
    in.setVersion(QDataStream::Qt_5_15);
    quint32 magic = 0;
    quint16 version = 0;
    in >> magic >> version;
    if (magic != kMagic || version != kVersion)
        return nullptr;
    auto edits = std::make_shared<UnsavedState>();
    QString keyText;
    QByteArray state;
    in >> keyText >> edits->statePath >> edits->picture >> edits->madeOver.size >> edits->madeOver.mtimeNs
        >> edits->madeOver.inode >> edits->madeOver.device >> state;
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return nullptr;
    *key = QUrl(keyText, QUrl::StrictMode);
    if (!key->isValid() || key->isEmpty() || edits->statePath.isEmpty() || edits->picture.isEmpty())
        return nullptr;
    edits->bytes.assign(state.constData(), size_t(state.size()));
    return edits;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qint64 written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

bool syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

QString KeptEdits::defaultFolder()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return data.isEmpty() ? QString() : data + QStringLiteral("/kept-edits");
}

KeptEdits::KeptEdits(const QString& folder)
    : m_folder(folder)
{ }

QString KeptEdits::pathFor(const QUrl& key) const
{
    if (m_folder.isEmpty())
        return QString();
    const QByteArray name
        = QCryptographicHash::hash(key.toString(QUrl::FullyEncoded).toUtf8(), QCryptographicHash::Sha1)
              .toHex();
    return m_folder + QLatin1Char('/') + QString::fromLatin1(name) + kSuffix;
}

bool KeptEdits::contains(const QUrl& key) const
{
    const QString path = pathFor(key);
    return !path.isEmpty() && QFileInfo::exists(path);
}

bool KeptEdits::store(const QUrl& key, const UnsavedState& edits) const
{
    const QString path = pathFor(key);
    if (path.isEmpty())
        return false;
    const auto failed = [&](const char* what, int error) {
        qCWarning(lcEngine) << "can't keep the unsaved edits of" << edits.picture << "in" << path << what
                            << std::strerror(error);
        remove(key);
        return false;
    };
    if (!QDir().mkpath(m_folder))
        return failed("no folder", errno);
    QByteArray temp = QFile::encodeName(path + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return failed("can't create", errno);
    const bool written = writeAll(fd, encode(key, edits));
    int error = errno;
    bool synced = false;
    if (written) {
        synced = ::fsync(fd) == 0;
        error = errno;
    }
    ::close(fd);
    if (!written || !synced) {
        ::unlink(temp.constData());
        return failed(written ? "can't sync" : "can't write", error);
    }
    if (::rename(temp.constData(), QFile::encodeName(path).constData()) != 0) {
        error = errno;
        ::unlink(temp.constData());
        return failed("can't rename", error);
    }
    // The name must be there after a crash too. Should the folder not sync, the file is
    // still better than none until the next start.
    if (!syncFolder(m_folder)) {
        qCWarning(lcEngine) << "kept the unsaved edits of" << edits.picture << "in" << path
                            << "but can't sync the folder" << std::strerror(errno);
        return false;
    }
    return true;
}

void KeptEdits::remove(const QUrl& key) const
{
    const QString path = pathFor(key);
    if (path.isEmpty() || !QFileInfo::exists(path))
        return;
    if (!QFile::remove(path)) {
        qCWarning(lcEngine) << "can't remove the kept edits" << path;
        return;
    }
    // Gone for good, or they might be written again over a newer state after a crash.
    syncFolder(m_folder);
}

QHash<QUrl, std::shared_ptr<const UnsavedState>> KeptEdits::load() const
{
    QHash<QUrl, std::shared_ptr<const UnsavedState>> kept;
    if (m_folder.isEmpty())
        return kept;
    const QDir folder(m_folder);
    // A write cut short by a crash leaves its temporary file: never renamed into place, it
    // holds nothing that counts. A recent one may be the write of another instance still
    // quitting (its kept edits are written as it closes): left for a later start.
    const QDateTime settled = QDateTime::currentDateTimeUtc().addSecs(-kUnfinishedAfterSecs);
    for (const QString& name : folder.entryList({ QLatin1Char('*') + kSuffix + QStringLiteral(".??????") },
             QDir::Files | QDir::Hidden | QDir::System)) {
        if (QFileInfo(folder.filePath(name)).lastModified().toUTC() > settled)
            continue;
        if (QFile::remove(folder.filePath(name)))
            qCInfo(lcEngine) << "removed the unfinished write of kept edits" << folder.filePath(name);
    }
    for (const QString& name : folder.entryList({ QLatin1Char('*') + kSuffix }, QDir::Files)) {
        QFile file(folder.filePath(name));
        // A small record: anything much larger is not one of them.
        if (file.size() > 512 * 1024 * 1024 || !file.open(QIODevice::ReadOnly)) {
            qCWarning(lcEngine) << "can't read the kept edits" << file.fileName();
            continue;
        }
        QUrl key;
        std::shared_ptr<UnsavedState> edits = decode(file.readAll(), &key);
        if (!edits || file.fileName() != pathFor(key)) {
            qCWarning(lcEngine) << "not kept edits of this version, left alone:" << file.fileName();
            continue;
        }
        // A disk may be given another device number at the next boot; the same file (size,
        // time to the nanosecond and inode) is still what the edits were made over.
        if (edits->madeOver.exists()) {
            const StateStamp now = StateStamp::of(edits->statePath);
            if (now.exists() && now.size == edits->madeOver.size && now.mtimeNs == edits->madeOver.mtimeNs
                && now.inode == edits->madeOver.inode)
                edits->madeOver.device = now.device;
        }
        kept.insert(key, std::move(edits));
    }
    return kept;
}

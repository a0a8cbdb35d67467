#include "engine/vrxcompress.h"
#include "engine/logging.h"

#include "ciapi/bytesource.h"
#include "ciapi/propertyaccessor.h"
#include "ciapi/qzcompress.h"
#include "ciapi/vrx/vrximage.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QThread>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

VrxCompress::Probe& probeHolder()
{
    static VrxCompress::Probe probe;
    return probe;
}

VrxCompress::Compressor& compressorHolder()
{
    static VrxCompress::Compressor compressor;
    return compressor;
}

void probe(const char* point)
{
    if (probeHolder())
        probeHolder()(point);
}

// Makes the file's bytes durable and gives it the mode of `modeFrom`.
void syncFile(const QString& path, const QString& modeFrom)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error(std::string("Cannot open the result: ") + std::strerror(errno));
    struct stat st;
    if (::stat(QFile::encodeName(modeFrom).constData(), &st) == 0)
        ::fchmod(fd, st.st_mode & 07777);
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (synced != 0)
        throw std::runtime_error(std::string("Cannot write the result: ") + std::strerror(error));
}

// Whether every frame of every module of `result` decodes to the samples of the same frame of
// `original`, both read from the disk as they are now. Damage of either is an exception.
bool sameSamples(const QString& originalPath, const QString& resultPath)
{
    const auto openFile = [](const QString& path) {
        auto stream
            = std::make_shared<std::ifstream>(QFile::encodeName(path).toStdString(), std::ios::binary);
        if (!*stream)
            throw std::runtime_error("Cannot read back " + QFile::encodeName(path).toStdString());
        return CIAPI::vrx::VrxImage::open(CIAPI::ByteSource::fromStream(stream));
    };
    const auto original = openFile(originalPath);
    const auto result = openFile(resultPath);
    const auto& modules = original->modules();
    if (modules.size() != result->modules().size())
        return false;
    std::vector<std::uint16_t> a;
    std::vector<std::uint16_t> b;
    for (std::size_t i = 0; i < modules.size(); ++i) {
        const auto& m = modules[i];
        const auto& r = result->modules()[i];
        if (m.index != r.index || m.width != r.width || m.height != r.height)
            return false;
        const int frames = original->framesOf(m.index);
        if (result->framesOf(r.index) != frames)
            return false;
        a.resize(std::size_t(m.width) * std::size_t(m.height));
        b.resize(a.size());
        for (int f = 0; f < frames; ++f) {
            original->decodeFrame(m.index, f, a.data());
            result->decodeFrame(r.index, f, b.data());
            if (a != b)
                return false;
        }
    }
    return true;
}

void syncFolderOf(const QString& path)
{
    const int fd
        = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

VrxCompress::FileStamp VrxCompress::stampOf(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return { qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
        quint64(st.st_ino) };
}

VrxCompress::VrxCompress(FilePerm* filePerm, float reserveRatio, int level, VrxMetadata metadata,
    std::shared_ptr<StreamSource> source, QObject* parent)
    : QObject(parent)
    , m_filePerm(filePerm)
    , m_reserveRatio(reserveRatio)
    , m_level(level)
    , m_metadata(std::move(metadata))
    , m_source(std::move(source))
{ }

VrxCompress::~VrxCompress()
{
    if (m_source)
        m_source->endCompressing();
}

QString VrxCompress::temporaryPathFor(const QString& sourcePath)
{
    const QFileInfo info(sourcePath);
    return info.absoluteDir().filePath(info.completeBaseName() + QStringLiteral(".vrxc"));
}

int VrxCompress::removeLeftovers(const QString& folder)
{
    int removed = 0;
    const QDir dir(folder);
    const QStringList names = dir.entryList({ QStringLiteral("*.vrxc"), QStringLiteral("*.vrxc.lock") },
        QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString temp = dir.filePath(name.endsWith(QLatin1String(".lock")) ? name.chopped(5) : name);
        if (name != QFileInfo(temp).fileName() && names.contains(QFileInfo(temp).fileName()))
            continue; // the pair is handled through its output
        const bool locked = QFile::exists(temp + QStringLiteral(".lock"));
        QLockFile lock(temp + QStringLiteral(".lock"));
        // Only a lock whose holder is gone counts as stale, however long a job runs.
        lock.setStaleLockTime(0);
        if (!lock.tryLock(0))
            continue;
        if (QFile::exists(temp) && QFile::remove(temp))
            ++removed;
        removed += locked ? 1 : 0; // the lock file goes when the lock is let go
        qCInfo(lcEngine) << "Removed the leftovers of a cut-off compression" << temp;
    }
    return removed;
}

void VrxCompress::setProbe(Probe probe)
{
    probeHolder() = std::move(probe);
}

void VrxCompress::setCompressor(Compressor compressor)
{
    compressorHolder() = std::move(compressor);
}

void VrxCompress::compress()
{
    if (QThread::currentThread()->isInterruptionRequested()) {
        QThread::currentThread()->quit();
        deleteLater();
        return;
    }
    const QString sourcePath = m_source && !m_source->fileName().isEmpty()
        ? m_source->fileName()
        : m_metadata.location.toLocalFile();
    const QString tempPath = temporaryPathFor(sourcePath);
    QLockFile lockFile(tempPath + QStringLiteral(".lock"));
    if (!lockFile.tryLock(0)) {
        if (lockFile.error() == QLockFile::LockFailedError) {
            // Another job has the file; this one has nothing to do.
            qCDebug(lcEngine) << "Compression already under way" << m_metadata.location;
            deleteLater();
            return;
        }
        // Nothing can be written beside the file (a read-only folder).
        qCWarning(lcEngine) << "Cannot compress" << m_metadata.location << "- no lock file"
                            << lockFile.error();
        m_metadata.invalid = true;
        emit complete(m_metadata);
        deleteLater();
        return;
    }
    probe("locked");

    m_metadata.invalid = true;
    VrxMetadata reread = m_metadata;
    bool verified = false;
    const FileStamp before = stampOf(sourcePath);
    try {
        const FileToken token = m_filePerm->acquireFileSemaphore(sourcePath, FilePerm::kShared);
        verified = writeVerified(sourcePath, tempPath, reread);
    } catch (const std::exception& e) {
        qCDebug(lcEngine) << "Failed to compress location" << m_metadata.location << e.what();
    } catch (...) {
        qCDebug(lcEngine) << "Failed to compress location" << m_metadata.location << "Unknown exception";
    }

    if (verified && replaceSource(sourcePath, tempPath, before)) {
        const QUrl location = m_metadata.location;
        m_metadata = reread;
        m_metadata.location = location;
        m_metadata.fileSize = QFileInfo(sourcePath).size();
        m_metadata.invalid = false;
    } else {
        // The original stays; only the temporary file goes.
        QFile::remove(tempPath);
        m_metadata.invalid = true;
    }
    probe("done");
    emit complete(m_metadata);
    deleteLater();
}

bool VrxCompress::writeVerified(const QString& sourcePath, const QString& tempPath, VrxMetadata& reread)
{
    const qint64 sourceSize = QFileInfo(sourcePath).size();
    auto in = std::make_shared<std::ifstream>(QFile::encodeName(sourcePath).toStdString(), std::ios::binary);
    if (!*in)
        throw std::runtime_error("Cannot read the file");
    auto out = std::make_shared<std::fstream>(QFile::encodeName(tempPath).toStdString(),
        std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    if (!*out)
        throw std::runtime_error(std::string("Cannot create the output: ") + std::strerror(errno));

    // Space for the result is claimed before the work starts.
    out->seekp(std::streamoff(std::floor(double(sourceSize) * double(m_reserveRatio))));
    out->write("EOF", 3);
    out->seekp(0);
    if (!*out)
        throw std::runtime_error("Cannot reserve space for the output");
    probe("reserved");

    const int status = compressorHolder() ? compressorHolder()(in, out, m_level, 0, 1)
                                          : qzCompress::CompressVRX(in, out, m_level, 0, 1);
    in.reset();
    if (status != qzCompress::CompressionSuccess) {
        qCDebug(lcEngine) << "Compressor refused" << m_metadata.location << status;
        return false;
    }
    // Every byte reaches the file before its size is taken and the rest cut off.
    out->flush();
    const qint64 written = qint64(out->tellp());
    out->close();
    if (out->fail() || written <= 0)
        throw std::runtime_error("Cannot write the output");
    qCDebug(lcEngine) << "Compressed into" << written;
    if (!QFile::resize(tempPath, written))
        throw std::runtime_error("Cannot truncate the output");
    syncFile(tempPath, sourcePath);
    probe("written");

    auto back = std::make_shared<std::ifstream>(QFile::encodeName(tempPath).toStdString(), std::ios::binary);
    qCDebug(lcEngine) << "Reading properties" << qint64(back->tellg());
    CIAPI::PropertyAccessor accessor;
    accessor.setInputDataStream(std::shared_ptr<std::istream>(back));
    reread.readFrom(accessor);
    // Only a readable result that is compressed (or has a single frame, which stays as it
    // was) may take the original's place.
    bool accepted = !reread.incompatible && (reread.compressed || reread.frameCount <= 1);
    if (!accepted)
        qCWarning(lcEngine) << "Compressed result rejected" << m_metadata.location << "incompatible"
                            << reread.incompatible << "frames" << reread.frameCount << "compressed"
                            << reread.compressed;
    // And only one whose every frame, read back from the disk, holds the original's samples:
    // what the compressor checked in its memory is not yet what the file holds.
    if (accepted && !sameSamples(sourcePath, tempPath)) {
        qCWarning(lcEngine) << "Compressed result rejected" << m_metadata.location
                            << "its samples differ from the original's";
        accepted = false;
    }
    probe("verified");
    return accepted;
}

bool VrxCompress::replaceSource(const QString& sourcePath, const QString& tempPath, const FileStamp& before)
{
    qCDebug(lcEngine) << m_metadata.location << "UC" << m_source.use_count();
    const FileToken token = m_filePerm->acquireFileSemaphore(sourcePath, FilePerm::kExclusive);
    probe("exclusive");
    for (int left = kRenameTries - 1; left >= 0; --left) {
        if (!(stampOf(sourcePath) == before)) {
            // Changed or gone while it was compressed: the result describes old bytes.
            qCWarning(lcEngine) << "File changed while compressed; kept" << m_metadata.location;
            return false;
        }
        // One step: the name holds the original until it holds the verified result.
        const bool renamed
            = ::rename(QFile::encodeName(tempPath).constData(), QFile::encodeName(sourcePath).constData())
            == 0;
        qCDebug(lcEngine) << m_metadata.location << "AL" << left << "renamed" << renamed
                          << (renamed ? "" : std::strerror(errno));
        if (renamed) {
            syncFolderOf(sourcePath);
            if (m_source)
                m_source->retireMapping();
            probe("renamed");
            return true;
        }
        if (left > 0)
            QThread::msleep(kRenameWaitMs);
    }
    return false;
}

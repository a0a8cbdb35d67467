#pragma once

#include "engine/fileperm.h"
#include "engine/streamsource.h"
#include "engine/vrxmetadata.h"

#include <QObject>
#include <QString>

#include <functional>
#include <istream>
#include <memory>

// One background compression of one raw file, in place and under the same name. The
// compressed form is written beside the file, made durable, read back by the engine (every
// frame must decode to the original's samples) and then put in the file's place with one
// rename, so at every moment the file's name holds either the original or the verified
// result. Lives on the image service's compression thread and deletes itself when done.
class VrxCompress : public QObject
{
    Q_OBJECT
public:
    // Tries of the final rename, and the wait between two of them.
    static constexpr int kRenameTries = 6;
    static constexpr int kRenameWaitMs = 1000;

    VrxCompress(FilePerm* filePerm, float reserveRatio, int level, VrxMetadata metadata,
        std::shared_ptr<StreamSource> source, QObject* parent = nullptr);
    VrxCompress(FilePerm* filePerm, VrxMetadata metadata, std::shared_ptr<StreamSource> source)
        : VrxCompress(filePerm, 0.4f, 100, std::move(metadata), std::move(source))
    { }
    // Gives back the source's "compressing" mark, however the job ended.
    ~VrxCompress() override;

    // The temporary output beside `sourcePath`: its complete base name plus ".vrxc".
    static QString temporaryPathFor(const QString& sourcePath);
    // Removes what jobs cut off by a kill left in a folder: temporary outputs and lock
    // files that no running job holds. Answers how many files went.
    static int removeLeftovers(const QString& folder);

    // Called at fixed points of every job with the point's name (diagnostics and tests).
    using Probe = std::function<void(const char* point)>;
    static void setProbe(Probe probe);

    // The compressor the jobs call (qzCompress::CompressVRX unless replaced; tests put
    // faulty ones in its place). An empty function restores the real one.
    using Compressor = std::function<int(std::shared_ptr<std::istream> input,
        std::shared_ptr<std::ostream> output, int level, int threads, int verify)>;
    static void setCompressor(Compressor compressor);

public slots:
    void compress();

signals:
    void complete(VrxMetadata md);

private:
    // What tells that a file was changed or replaced meanwhile.
    struct FileStamp
    {
        qint64 size = -1;
        qint64 mtimeNs = -1;
        quint64 inode = 0;
        bool operator==(const FileStamp& o) const
        {
            return size == o.size && mtimeNs == o.mtimeNs && inode == o.inode;
        }
    };
    static FileStamp stampOf(const QString& path);

    // Writes and checks the temporary file; true when it may replace the source.
    bool writeVerified(const QString& sourcePath, const QString& tempPath, VrxMetadata& reread);
    // Puts the verified temporary file in the source's place; false when it stayed apart.
    bool replaceSource(const QString& sourcePath, const QString& tempPath, const FileStamp& before);

    FilePerm* m_filePerm;
    float m_reserveRatio;
    int m_level;
    VrxMetadata m_metadata;
    std::shared_ptr<StreamSource> m_source;
};

#include "engine/exportplanner.h"
#include "engine/logging.h"

#include <QDebug>
#include <QFile>

#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/replytarget.h"

namespace {

// How long the end of the object waits for a folder under way.
constexpr int kLeaveMs = 500;

} // namespace

// What the tasks share with the planner, which they may outlive.
struct ExportPlanner::Shared
{
    std::mutex mutex;
    QSet<QString> planned; // paths of requests whose outputs are not queued yet, lower case
    std::function<QSet<QString>()> claimed; // none once the planner is gone
};

ExportPlanner::ExportPlanner(std::function<QSet<QString>()> claimed, QObject* parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    m_shared->claimed = std::move(claimed);
}

ExportPlanner::~ExportPlanner()
{
    m_replies->close();
    forgetClaims();
    m_worker.leave(kLeaveMs);
}

void ExportPlanner::forgetClaims()
{
    // What claims the paths may go with the owner.
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->claimed = nullptr;
}

QString ExportPlanner::freePath(
    int folder, const QDir& dir, const QString& baseName, const QString& extension, QSet<QString>& taken)
{
    for (int n = 1;; ++n) {
        const QString name = (n == 1 ? baseName : QStringLiteral("%1 (%2)").arg(baseName).arg(n)) + extension;
        const QString path = dir.absoluteFilePath(name);
        const QString key = path.toLower();
        struct stat st;
        if (taken.contains(key) || ::fstatat(folder, QFile::encodeName(name).constData(), &st, 0) == 0)
            continue;
        taken.insert(key);
        return path;
    }
}

void ExportPlanner::plan(const QString& folder, const QList<Picture>& pictures, int formats, Done done)
{
    ++m_pending;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const std::shared_ptr<Shared> shared = m_shared;
    const int generation = m_generation;
    const auto answer = [this, generation, shared, done](bool made, const QList<Output>& outputs) {
        --m_pending;
        if (generation == m_generation)
            done(made, outputs);
        // Queued by now, or dropped: no longer this planner's to keep free.
        std::lock_guard<std::mutex> lock(shared->mutex);
        for (const Output& output : outputs)
            shared->planned.remove(output.path.toLower());
    };
    const bool started = m_worker.start([replies, shared, folder, pictures, formats, answer] {
        static const char* const kExtensions[] = { ".jpg", ".ppm", ".dng", ".hdr" };
        QList<Output> outputs;
        // The names are looked up in the folder opened once.
        const int fd = QDir::root().mkpath(folder)
            ? ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
            : -1;
        const bool made = fd >= 0;
        if (!made) {
            qCWarning(lcEngine) << "Can't create export folder" << folder;
        } else {
            // The planned ones first: a path leaves them only once it is claimed.
            QSet<QString> taken;
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                taken = shared->planned;
                const QSet<QString> queued = shared->claimed ? shared->claimed() : QSet<QString>();
                for (const QString& path : queued)
                    taken.insert(path.toLower());
            }
            const QDir dir(folder);
            for (const Picture& picture : pictures) {
                // Only the engine's four formats; higher bits mean nothing.
                for (int i = 0; i < 4; ++i) {
                    if (formats & (1 << i))
                        outputs.append({ picture.location, i,
                            freePath(
                                fd, dir, picture.baseName, QString::fromLatin1(kExtensions[i]), taken) });
                }
            }
            ::close(fd);
            std::lock_guard<std::mutex> lock(shared->mutex);
            for (const Output& output : qAsConst(outputs))
                shared->planned.insert(output.path.toLower());
        }
        replies->post([answer, made, outputs] { answer(made, outputs); });
    });
    if (!started)
        --m_pending;
}

void ExportPlanner::cancel()
{
    ++m_generation;
}

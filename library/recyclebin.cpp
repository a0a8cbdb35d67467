#include "library/recyclebin.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSet>
#include <QTimer>

#include "core/fileservices.h"
#include "core/replytarget.h"
#include "core/texthelpers.h"
#include "engine/fileperm.h"
#include "engine/imagelocator.h"
#include "engine/statefile.h"
#include "library/logging.h"
#include "platform/freedesktoptrash.h"

namespace {

// How often a file held elsewhere is asked for again.
constexpr int kBusyPollMs = 20;

} // namespace

RecycleBin::RecycleBin(QObject* parent)
    : QObject(parent)
    , m_replies(std::make_shared<ReplyTarget>(this))
{ }

RecycleBin::~RecycleBin()
{
    // Moves under way finish on their own (all or none); nobody hears of them.
    m_replies->close();
    m_mover.leave(0);
}

void RecycleBin::setImageService(ImageLocator* locator)
{
    m_imageService = locator;
}

namespace {

// The names in `dir` that start with `prefix`, however many wildcard characters the prefix
// holds: a name filter would take them for patterns and match another picture's files.
QStringList namesStartingWith(const QDir& dir, const QString& prefix)
{
    QString filter = prefix;
    for (QChar& c : filter) {
        if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('[') || c == QLatin1Char(']'))
            c = QLatin1Char('?');
    }
    QStringList names;
    for (const QString& name :
        dir.entryList({ filter + QLatin1Char('*') }, QDir::Files | QDir::Hidden | QDir::System, QDir::Name)) {
        if (name.startsWith(prefix))
            names.append(name);
    }
    return names;
}

} // namespace

QList<QUrl> RecycleBin::sideFiles(const QUrl& url, const QString& lowResFolder)
{
    QList<QUrl> files { url };
    const QFileInfo info(url.toLocalFile());
    const QString base = info.completeBaseName();
    const QString state = info.dir().filePath(base + QStringLiteral(".vrxs"));
    if (QFileInfo::exists(state))
        files.append(QUrl::fromLocalFile(state));
    // The copy a save keeps while it writes: left by a save cut short, it would be read
    // as the state of the next picture of that name.
    const QString backup = StateFile::backupPath(state);
    if (QFileInfo::exists(backup))
        files.append(QUrl::fromLocalFile(backup));
    // Damaged state files kept aside for the picture go with it.
    for (const QString& name : namesStartingWith(info.dir(), base + QStringLiteral(".vrxs.unreadable")))
        files.append(QUrl::fromLocalFile(info.dir().filePath(name)));
    QDir low = info.dir();
    if (!lowResFolder.isEmpty() && !low.cd(lowResFolder))
        return files;
    const QString normal = normalizeUnderscoreName(base);
    QStringList names { base };
    for (const QString& name : { normal, normal + QStringLiteral("_1") }) {
        // A name that is another picture's of this folder names that picture's copies.
        const QString picture = name + QLatin1Char('.') + info.suffix();
        if (!names.contains(name) && !info.dir().exists(picture))
            names.append(name);
    }
    for (const QString& name : qAsConst(names)) {
        const QString copy = low.filePath(name + QStringLiteral(".jpg"));
        if (QFileInfo::exists(copy))
            files.append(QUrl::fromLocalFile(copy));
    }
    return files;
}

void RecycleBin::recycleImage(const QUrl& url)
{
    ++m_pending;
    const QString path = url.toLocalFile();
    const QDeadlineTimer deadline(m_busyWaitMs);
    FileToken token;
    if (m_filePerm) {
        token = m_filePerm->tryAcquireFileSemaphore(path, FilePerm::kExclusive, 0);
        if (!token) {
            // Viewers let go of a file on this thread: ask the image service to evict it,
            // and ask for the file again as the event loop turns, within a bound.
            if (m_imageService)
                emit m_imageService->notifyFileEvictedSignal(url);
            m_waiting.push_back({ url, deadline });
            if (!m_poll) {
                m_poll = new QTimer(this);
                m_poll->setInterval(kBusyPollMs);
                connect(m_poll, &QTimer::timeout, this, &RecycleBin::pollBusy);
            }
            m_poll->start();
            return;
        }
    }
    moveLater(url, std::move(token), deadline);
}

void RecycleBin::pollBusy()
{
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        FileToken token;
        if (m_filePerm)
            token = m_filePerm->tryAcquireFileSemaphore(it->url.toLocalFile(), FilePerm::kExclusive, 0);
        if (token || !m_filePerm) {
            const Waiting taken = *it;
            it = m_waiting.erase(it);
            moveLater(taken.url, std::move(token), taken.deadline);
        } else if (it->deadline.hasExpired()) {
            qCWarning(lcLibrary) << "Recycle bin: the file is busy:" << it->url.toLocalFile();
            const QUrl url = it->url;
            it = m_waiting.erase(it);
            // Told on a later turn, like every other answer.
            QMetaObject::invokeMethod(
                this, [this, url] { answer(url, false); }, Qt::QueuedConnection);
        } else {
            ++it;
        }
    }
    if (m_waiting.empty())
        m_poll->stop();
}

void RecycleBin::moveLater(const QUrl& url, FileToken token, const QDeadlineTimer& deadline)
{
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const bool started
        = m_mover.start([this, replies, url, token, deadline, lowRes = m_lowResFolder]() mutable {
              const QString path = url.toLocalFile();
              const bool ok = [&] {
                  // No one writes the state file while it goes: a save under way (the editor saves
                  // the picture it leaves on a worker) ends first, so the bin gets its newest state,
                  // and none is written beside the picture once it is gone.
                  const QFileInfo info(path);
                  QLockFile stateLock(StateFile::lockPath(
                      info.dir().filePath(info.completeBaseName() + QStringLiteral(".vrxs"))));
                  bool locked = stateLock.tryLock(0);
                  while (!locked && stateLock.error() == QLockFile::LockFailedError && !deadline.hasExpired())
                      locked = stateLock.tryLock(kBusyPollMs);
                  if (!locked && stateLock.error() == QLockFile::LockFailedError) {
                      // (A folder where no lock can be made has no writer that takes one either.)
                      qCWarning(lcLibrary) << "Recycle bin: the state file is busy:" << path;
                      return false;
                  }
                  const QList<QUrl> files = sideFiles(url, lowRes);
                  // The picture first: its state file and copies follow it only once it is in the
                  // bin, so a picture that stays (it could not be moved) keeps its edits beside it.
                  // All of them go, or none: should one of its files stay, the picture and the
                  // files that went come back, or the picture's edits would be left behind for the
                  // next picture of its name.
                  FreedesktopTrash trash;
                  QList<QPair<QString, QString>> moved;
                  for (const QUrl& file : files) {
                      const QString original = file.toLocalFile();
                      QString inTrash;
                      if (trash.moveToTrash(original, &inTrash)) {
                          moved.append({ original, inTrash });
                          continue;
                      }
                      qCWarning(lcLibrary) << "Recycle bin: could not be moved:" << original;
                      for (int i = moved.size() - 1; i >= 0; --i)
                          trash.restore(moved.at(i).first, moved.at(i).second);
                      return false;
                  }
                  return true;
              }();
              // The file is free again before anyone hears.
              token.reset();
              replies->post([this, url, ok] { answer(url, ok); });
          });
    if (!started)
        answer(url, false);
}

void RecycleBin::answer(const QUrl& url, bool ok)
{
    --m_pending;
    if (ok && m_imageService)
        m_imageService->forgetKeptEdits(url);
    emit recycled(url, ok);
}

bool RecycleBin::recycle(const QUrl& url)
{
    return deleteToRecycleBin(url);
}

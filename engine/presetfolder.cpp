#include "engine/presetfolder.h"
#include "engine/imageproperties.h"
#include "engine/logging.h"

#include "core/replytarget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

const int kRescanMs = 30000;
// A preset document is a few hundred bytes of JSON; anything far larger is no preset.
const qint64 kMaxDocumentBytes = 1 << 20;
// What one scan reads of new files at most; the rest waits for the scan that follows it, so
// a folder of many large files is never held in memory all at once.
const qint64 kMaxScanBytes = 16 << 20;

} // namespace

PresetFolder::PresetFolder(const QString& folder, QObject* parent)
    : IPresetKeeper(parent)
    , m_folder(QDir::cleanPath(folder))
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    // A change of the folder is also what a failed write leaves (its temporary file comes and
    // goes): those rescans do not try the failed writes again, or a full disk would keep
    // them going round.
    connect(&m_watcher, &ThreadedWatcher::directoryChanged, this, [this] { startScan(false); });
    connect(&m_timer, &QTimer::timeout, this, &PresetFolder::rescan);
    rescan();
    m_timer.start(kRescanMs);
}

PresetFolder::~PresetFolder()
{
    m_replies->close();
    // A scan that hangs on the folder is left to end on its own.
    m_scans.leave(0);
}

QVariant PresetFolder::presets() const
{
    QVariantList list;
    for (ImageProperties* preset : m_presets)
        list.append(QVariant::fromValue(static_cast<QObject*>(preset)));
    return list;
}

ImageProperties* PresetFolder::listed(QObject* object) const
{
    auto* preset = qobject_cast<ImageProperties*>(object);
    return m_presets.contains(preset) ? preset : nullptr;
}

QString PresetFolder::pathOf(const ImageProperties* preset) const
{
    return m_folder + QLatin1Char('/') + preset->fileName();
}

bool PresetFolder::write(const ImageProperties* preset, QString* error) const
{
    QDir().mkpath(m_folder);
    QSaveFile file(pathOf(preset));
    const QByteArray document = preset->savePatch();
    // Unbuffered: a buffer flushed only by commit() may fail unnoticed (a full disk) and a
    // cut-off document would replace the whole one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(document) != document.size()
        || !file.flush() || !file.commit()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        qCWarning(lcEngine) << "Can't write preset" << file.fileName() << reason;
        if (error)
            *error = reason;
        return false;
    }
    return true;
}

void PresetFolder::writeTold(const ImageProperties* preset)
{
    QString reason;
    if (writeKept(preset, &reason))
        return;
    emit presetNotSaved(preset->name(), reason);
}

bool PresetFolder::writeKept(const ImageProperties* preset, QString* error)
{
    // A preset whose file could not take its last change (a rename on a full disk leaves the
    // old document whole, which reads well) is written again by the rescans until it is.
    if (write(preset, error)) {
        m_unsaved.remove(preset->fileName());
        return true;
    }
    m_unsaved.insert(preset->fileName());
    return false;
}

bool PresetFolder::readDocument(const QString& path, QByteArray& bytes)
{
    bytes.clear();
    // Non-blocking, so that opening a pipe cannot wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxDocumentBytes;
    if (regular) {
        // The size may change meanwhile: never more than the bound, whatever is read.
        char chunk[16384];
        while (bytes.size() <= kMaxDocumentBytes) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            bytes.append(chunk, int(n));
        }
    }
    ::close(fd);
    if (!regular || bytes.size() > kMaxDocumentBytes) {
        qCWarning(lcEngine) << "Not a preset document (no regular file, or too large):" << path;
        bytes.clear();
        return false;
    }
    return true;
}

bool PresetFolder::readable(const QString& path)
{
    QByteArray bytes;
    ImageProperties probe;
    return readDocument(path, bytes) && probe.loadPatch(bytes);
}

void PresetFolder::drop(ImageProperties* preset)
{
    m_presets.removeAll(preset);
    QFile::remove(pathOf(preset));
    m_refused.remove(preset->fileName());
    m_unsaved.remove(preset->fileName());
    // A scan under way may have read its file as one no preset stands for.
    if (m_scanning)
        m_droppedWhileScanning.insert(preset->fileName());
    // QML may still hold the object until the list change reaches it.
    preset->deleteLater();
}

void PresetFolder::createPreset(QObject* properties)
{
    auto* source = qobject_cast<ImageProperties*>(properties);
    if (!source)
        return;
    auto* preset = new ImageProperties(this);
    // Through the document itself, so the listed preset is what its file holds.
    preset->loadPatch(source->savePatch());
    preset->setName(source->name());
    // In whole seconds, as its file keeps it: the list's order is the same read back.
    preset->setTimestampCreated(QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch()));
    const QString fileName = QUuid::createUuid().toString() + QStringLiteral(".qpf");
    preset->setFileInfo(fileName);
    // First: the newest, also before one made within the same second.
    m_presets.prepend(preset);
    // Written at once: the file is the preset, whatever comes next.
    writeTold(preset);
    sortNewestFirst();
    emit presetsChanged();
    rescan();
}

void PresetFolder::removePreset(QObject* object)
{
    ImageProperties* preset = listed(object);
    if (!preset)
        return;
    drop(preset);
    emit presetsChanged();
}

void PresetFolder::renamePreset(QObject* object, const QString& name)
{
    ImageProperties* preset = listed(object);
    if (!preset || preset->name() == name)
        return;
    preset->setName(name);
    writeTold(preset);
    emit presetsChanged();
}

void PresetFolder::overwritePreset(QObject* removeObject, QObject* renameObject, const QString& name)
{
    ImageProperties* removed = listed(removeObject);
    ImageProperties* renamed = listed(renameObject);
    if (!renamed || removed == renamed) {
        renamePreset(renamed, name);
        return;
    }
    {
        const QSignalBlocker blocker(this);
        if (removed)
            drop(removed);
        renamed->setName(name);
    }
    writeTold(renamed);
    emit presetsChanged();
}

void PresetFolder::rescan()
{
    startScan(true);
}

void PresetFolder::startScan(bool retryWrites)
{
    // The folder (a user's home may be on a network) is listed and read on the folder's
    // own thread; what it found is applied here. One scan at a time: a rescan asked for
    // meanwhile runs when it ends.
    m_retryWrites = m_retryWrites || retryWrites;
    if (m_scanning) {
        m_rescanAgain = true;
        return;
    }
    m_scanning = true;
    const bool retry = std::exchange(m_retryWrites, false);
    // Watched before it is read: what changes after the scan began is reported.
    if (m_watcher.isEmpty())
        m_watcher.addPath(m_folder);
    QHash<QString, Stamp> refused = m_refused;
    QStringList listed;
    for (const ImageProperties* preset : qAsConst(m_presets))
        listed << preset->fileName();
    const QString folder = m_folder;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_scans.start([this, replies, folder, listed, refused, retry] {
        Scan scan = scanFolder(folder, listed, refused);
        scan.retryWrites = retry;
        replies->post([this, scan] { apply(scan); });
    });
}

PresetFolder::Scan PresetFolder::scanFolder(
    const QString& folder, const QStringList& listed, const QHash<QString, Stamp>& refused)
{
    Scan scan;
    scan.listed = listed;
    if (!QFileInfo(folder).isDir()) {
        // The folder went away with its presets: start again from an empty one.
        scan.folderGone = true;
        QDir().mkpath(folder);
    }
    QSet<QString> files;
    const QFileInfoList entries
        = QDir(folder).entryInfoList({ QStringLiteral("*.qpf") }, QDir::Files | QDir::Hidden);
    QHash<QString, Stamp> stamps;
    for (const QFileInfo& entry : entries) {
        files.insert(entry.fileName());
        stamps.insert(entry.fileName(), { entry.size(), entry.lastModified() });
    }
    if (!scan.folderGone) {
        for (const QString& name : listed) {
            // A listed preset's file that is missing, or no longer a document (cut short by
            // a crash or a full disk), is written again from the list.
            if (!files.remove(name) || !readable(folder + QLatin1Char('/') + name))
                scan.toWrite << name;
        }
    }
    qint64 held = 0;
    for (const QString& name : qAsConst(files)) {
        Found found;
        found.name = name;
        found.stamp = stamps.value(name);
        if (!scan.folderGone && refused.value(name) == found.stamp)
            continue;
        if (held >= kMaxScanBytes) {
            scan.more = true;
            break;
        }
        found.read = readDocument(folder + QLatin1Char('/') + name, found.bytes);
        held += found.bytes.size();
        scan.found << found;
    }
    return scan;
}

void PresetFolder::apply(const Scan& scan)
{
    m_scanning = false;
    bool changed = false;
    if (scan.folderGone) {
        m_watcher.removePaths(m_watcher.paths());
        const QList<ImageProperties*> presets = m_presets;
        for (ImageProperties* preset : presets) {
            if (scan.listed.contains(preset->fileName())) {
                m_presets.removeAll(preset);
                preset->deleteLater();
            }
        }
        m_refused.clear();
        emit presetsChanged();
    }
    if (m_watcher.isEmpty())
        m_watcher.addPath(m_folder);
    QSet<QString> listed;
    // After a failed write only the rescans of the timer (or asked for) write.
    const bool writes = scan.retryWrites || m_unsaved.isEmpty();
    for (ImageProperties* preset : qAsConst(m_presets)) {
        listed.insert(preset->fileName());
        // Only presets still listed are written again: a removed one stays removed.
        if (writes && (scan.toWrite.contains(preset->fileName()) || m_unsaved.contains(preset->fileName())))
            writeKept(preset);
    }
    for (const Found& found : scan.found) {
        // Listed since the scan began, or made and removed meanwhile: a removed preset
        // stays removed.
        if (listed.contains(found.name) || m_droppedWhileScanning.contains(found.name))
            continue;
        auto* preset = new ImageProperties(this);
        if (!found.read || !preset->loadPatch(found.bytes)) {
            m_refused.insert(found.name, found.stamp);
            delete preset;
            continue;
        }
        m_refused.remove(found.name);
        preset->setFileInfo(m_folder + QLatin1Char('/') + found.name);
        m_presets.append(preset);
        changed = true;
    }
    m_droppedWhileScanning.clear();
    const QList<ImageProperties*> before = m_presets;
    sortNewestFirst();
    if (changed || before != m_presets)
        emit presetsChanged();
    if (m_rescanAgain || scan.more) {
        m_rescanAgain = false;
        startScan(false);
    }
}

void PresetFolder::sortNewestFirst()
{
    std::stable_sort(
        m_presets.begin(), m_presets.end(), [](const ImageProperties* a, const ImageProperties* b) {
            return a->timestampCreated() > b->timestampCreated();
        });
}

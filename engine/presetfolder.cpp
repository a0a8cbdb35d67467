#include "engine/presetfolder.h"
#include "engine/imageproperties.h"
#include "engine/logging.h"

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

namespace {

const int kRescanMs = 30000;
// A preset document is a few hundred bytes of JSON; anything far larger is no preset.
const qint64 kMaxDocumentBytes = 1 << 20;

} // namespace

PresetFolder::PresetFolder(const QString& folder, QObject* parent)
    : IPresetKeeper(parent)
    , m_folder(QDir::cleanPath(folder))
{
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &PresetFolder::rescan);
    connect(&m_timer, &QTimer::timeout, this, &PresetFolder::rescan);
    rescan();
    m_timer.start(kRescanMs);
}

PresetFolder::~PresetFolder() = default;

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

bool PresetFolder::write(const ImageProperties* preset) const
{
    QDir().mkpath(m_folder);
    QSaveFile file(pathOf(preset));
    const QByteArray document = preset->savePatch();
    // Unbuffered: a buffer flushed only by commit() may fail unnoticed (a full disk) and a
    // cut-off document would replace the whole one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(document) != document.size()
        || !file.flush() || !file.commit()) {
        file.cancelWriting();
        qCWarning(lcEngine) << "Can't write preset" << file.fileName() << file.errorString();
        return false;
    }
    return true;
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
    preset->setTimestampCreated(QDateTime::currentDateTime());
    const QString fileName = QUuid::createUuid().toString() + QStringLiteral(".qpf");
    preset->setFileInfo(fileName);
    m_presets.append(preset);
    rescan();
    emit presetsChanged();
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
    write(preset);
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
        write(renamed);
    }
    emit presetsChanged();
}

void PresetFolder::rescan()
{
    bool changed = false;
    if (!QFileInfo(m_folder).isDir()) {
        // The folder went away with its presets: start again from an empty one.
        if (!m_watcher.directories().isEmpty())
            m_watcher.removePaths(m_watcher.directories());
        QDir().mkpath(m_folder);
        for (ImageProperties* preset : qAsConst(m_presets))
            preset->deleteLater();
        m_presets.clear();
        m_refused.clear();
        emit presetsChanged();
    }
    if (m_watcher.directories().isEmpty())
        m_watcher.addPath(m_folder);

    QSet<QString> files;
    const QFileInfoList entries
        = QDir(m_folder).entryInfoList({ QStringLiteral("*.qpf") }, QDir::Files | QDir::Hidden);
    QHash<QString, Stamp> stamps;
    for (const QFileInfo& entry : entries) {
        files.insert(entry.fileName());
        stamps.insert(entry.fileName(), { entry.size(), entry.lastModified() });
    }

    for (ImageProperties* preset : qAsConst(m_presets)) {
        // A listed preset's file that is missing, or no longer a document (cut short by a
        // crash or a full disk), is written again from the list.
        if (!files.remove(preset->fileName()) || !readable(pathOf(preset)))
            write(preset);
    }
    for (const QString& name : qAsConst(files)) {
        const Stamp stamp = stamps.value(name);
        if (m_refused.value(name) == stamp)
            continue;
        const QString path = m_folder + QLatin1Char('/') + name;
        QByteArray bytes;
        auto* preset = new ImageProperties(this);
        if (!readDocument(path, bytes) || !preset->loadPatch(bytes)) {
            m_refused.insert(name, stamp);
            delete preset;
            continue;
        }
        m_refused.remove(name);
        preset->setFileInfo(path);
        m_presets.append(preset);
        changed = true;
    }
    const QList<ImageProperties*> before = m_presets;
    sortNewestFirst();
    if (changed || before != m_presets)
        emit presetsChanged();
}

void PresetFolder::sortNewestFirst()
{
    std::stable_sort(
        m_presets.begin(), m_presets.end(), [](const ImageProperties* a, const ImageProperties* b) {
            return a->timestampCreated() > b->timestampCreated();
        });
}

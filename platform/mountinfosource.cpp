#include "platform/mountinfosource.h"
#include "platform/logging.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <unistd.h>

MountInfoSource::MountInfoSource(QObject* parent)
    : MountInfoSource(QStringLiteral("/dev/disk/by-uuid"), parent)
{ }

MountInfoSource::MountInfoSource(const QString& byUuidFolder, QObject* parent)
    : IMountSource(parent)
    , m_byUuid(byUuidFolder)
{
    m_fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        qCWarning(lcPlatform) << "Can't watch the mount table:" << qt_error_string(errno);
        return;
    }
    // The kernel signals a change as an exceptional condition (POLLPRI) on the open table.
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Exception, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &MountInfoSource::onTableEvent);
}

MountInfoSource::~MountInfoSource()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

QList<QStorageInfo> MountInfoSource::mountedVolumes()
{
    return QStorageInfo::mountedVolumes();
}

quint32 MountInfoSource::volumeSerial(const QStorageInfo& volume)
{
    return volumeSerialOfDevice(volume.device());
}

quint32 MountInfoSource::volumeSerialOfDevice(const QByteArray& device) const
{
    if (!device.startsWith('/'))
        return 0;
    const QString real = QFileInfo(QFile::decodeName(device)).canonicalFilePath();
    if (real.isEmpty())
        return 0;
    const QFileInfoList links
        = QDir(m_byUuid).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo& link : links) {
        if (link.canonicalFilePath() == real)
            return fatSerialFromUuid(link.fileName());
    }
    return 0;
}

void MountInfoSource::onTableEvent()
{
    // Reading the table again is what the kernel expects after an event; poll already
    // took the event, so the bytes themselves are not needed.
    char buffer[4096];
    ::lseek(m_fd, 0, SEEK_SET);
    while (::read(m_fd, buffer, sizeof buffer) > 0) { }
    emit changed();
}

quint32 fatSerialFromUuid(const QString& uuid)
{
    static const QRegularExpression fat(QStringLiteral("^([0-9A-Fa-f]{4})-([0-9A-Fa-f]{4})$"));
    const QRegularExpressionMatch match = fat.match(uuid);
    if (!match.hasMatch())
        return 0;
    return (match.captured(1).toUInt(nullptr, 16) << 16) | match.captured(2).toUInt(nullptr, 16);
}

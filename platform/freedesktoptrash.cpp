#include "platform/freedesktoptrash.h"
#include "platform/logging.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class QtTrashMover : public ITrashMover
{
public:
    bool moveToTrash(const QString& path, QString* pathInTrash) override
    {
        return QFile::moveToTrash(path, pathInTrash);
    }
};

bool makePrivateFolder(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st;
    return ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

ITrashMover& systemTrashMover()
{
    static QtTrashMover mover;
    return mover;
}

FreedesktopTrash::FreedesktopTrash(ITrashMover& mover)
    : m_mover(mover)
{ }

QString FreedesktopTrash::homeTrash()
{
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty() || QDir::isRelativePath(data))
        data = QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(data) + QStringLiteral("/Trash");
}

bool FreedesktopTrash::ensureHomeTrash()
{
    const QString trash = homeTrash();
    // The data folder and its parents may be missing on a fresh account.
    QStringList missing;
    QString folder = QFileInfo(trash).absolutePath();
    while (!folder.isEmpty() && !QFileInfo(folder).exists()) {
        missing.prepend(folder);
        const QString parent = QFileInfo(folder).absolutePath();
        if (parent == folder)
            break;
        folder = parent;
    }
    for (const QString& path : qAsConst(missing)) {
        if (!makePrivateFolder(path))
            return false;
    }
    return makePrivateFolder(trash) && makePrivateFolder(trash + QStringLiteral("/files"))
        && makePrivateFolder(trash + QStringLiteral("/info"));
}

bool FreedesktopTrash::isTrashLocation(const QString& pathInTrash)
{
    if (pathInTrash.isEmpty() || QDir::isRelativePath(pathInTrash))
        return false;
    const QFileInfo info(QDir::cleanPath(pathInTrash));
    const QDir files = info.dir();
    if (files.dirName() != QLatin1String("files"))
        return false;
    const QString trash = QFileInfo(files.absolutePath()).absolutePath();
    const QString trashName = QFileInfo(trash).fileName();
    const QString uid = QString::number(::getuid());
    if (QDir::cleanPath(trash) == QDir::cleanPath(homeTrash()))
        return true;
    if (trashName == QStringLiteral(".Trash-") + uid)
        return true;
    return trashName == uid
        && QFileInfo(QFileInfo(trash).absolutePath()).fileName() == QLatin1String(".Trash");
}

bool FreedesktopTrash::moveToTrash(const QString& path)
{
    QString pathInTrash;
    return moveToTrash(path, &pathInTrash);
}

bool FreedesktopTrash::moveToTrash(const QString& path, QString* pathInTrash)
{
    pathInTrash->clear();
    if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink())
        return false;
    if (!ensureHomeTrash())
        qCWarning(lcPlatform) << "Can't create the trash folder" << homeTrash();
    QString moved;
    if (!m_mover.moveToTrash(path, &moved))
        return false;
    if (isTrashLocation(moved)) {
        *pathInTrash = moved;
        return true;
    }
    qCWarning(lcPlatform) << "Trash put" << path << "at" << moved << "; moving it back";
    restore(path, moved);
    return false;
}

bool FreedesktopTrash::restore(const QString& original, const QString& pathInTrash)
{
    if (pathInTrash.isEmpty())
        return false;
    const QFileInfo moved(pathInTrash);
    const QByteArray from = QFile::encodeName(moved.filePath());
    const QByteArray to = QFile::encodeName(original);
    // Never overwrite: something new may have taken the old name meanwhile.
    if (::access(to.constData(), F_OK) == 0 || ::rename(from.constData(), to.constData()) != 0) {
        qCWarning(lcPlatform) << "Can't move" << pathInTrash << "back to" << original;
        return false;
    }
    const QString info
        = moved.dir().filePath(QStringLiteral("../info/") + moved.fileName() + QStringLiteral(".trashinfo"));
    QFile::remove(info);
    return true;
}

#include "app/filenamevalidator.h"

#include <QDir>
#include <QFileInfo>

FilenameValidator::FilenameValidator(QObject* parent)
    : QValidator(parent)
{ }

void FilenameValidator::setAllowSubfolders(bool allow)
{
    if (allow == m_allowSubfolders)
        return;
    m_allowSubfolders = allow;
    emit allowSubfoldersChanged(allow);
}

void FilenameValidator::setBaseFolder(const QString& folder)
{
    if (folder == m_baseFolder)
        return;
    m_baseFolder = folder;
    emit baseFolderChanged(folder);
}

QValidator::State FilenameValidator::validate(QString& input, int& /*position*/) const
{
    // "", "." and ".." are on the way to a name, not names.
    if (input.size() < 3 && input.count(QLatin1Char('.')) == input.size())
        return Intermediate;

    const QString candidate = m_baseFolder.isEmpty() ? input : QDir(m_baseFolder).filePath(input);
    const QFileInfo info(candidate);
    if (info.exists())
        return Invalid;
    if (input == info.baseName())
        return Acceptable;
    if (!m_allowSubfolders || !info.dir().exists())
        return Invalid;
    if (m_baseFolder.isEmpty())
        return Acceptable;
    // A sub-path must stay below the base folder: "../x" or "/tmp/x" would make the
    // file somewhere the dialog never offered.
    const QString base = QDir::cleanPath(QDir(m_baseFolder).absolutePath());
    const QString target = QDir::cleanPath(info.absoluteFilePath());
    return target.startsWith(base + QLatin1Char('/')) ? Acceptable : Invalid;
}

#include "app/filenamevalidator.h"

#include <QDir>
#include <QFileInfo>

#include "core/replytarget.h"

FilenameValidator::FilenameValidator(QObject* parent)
    : QValidator(parent)
    , m_replies(std::make_shared<ReplyTarget>(this))
{ }

FilenameValidator::~FilenameValidator()
{
    m_replies->close();
    m_worker.leave(0);
}

void FilenameValidator::forget()
{
    // Answers still on their way are of the old folder: dropped when they come.
    m_known.clear();
    m_asked.clear();
    emit changed();
}

void FilenameValidator::setAllowSubfolders(bool allow)
{
    if (allow == m_allowSubfolders)
        return;
    m_allowSubfolders = allow;
    emit allowSubfoldersChanged(allow);
    emit changed();
}

void FilenameValidator::setBaseFolder(const QString& folder)
{
    if (folder == m_baseFolder)
        return;
    m_baseFolder = folder;
    emit baseFolderChanged(folder);
    forget();
}

QValidator::State FilenameValidator::validate(QString& input, int& /*position*/) const
{
    // "", "." and ".." are on the way to a name, not names.
    if (input.size() < 3 && input.count(QLatin1Char('.')) == input.size())
        return Intermediate;

    const QString candidate = m_baseFolder.isEmpty() ? input : QDir(m_baseFolder).filePath(input);
    const QFileInfo info(candidate);
    const bool plainName = input == info.baseName();
    if (!plainName && !m_allowSubfolders)
        return Invalid;
    if (!plainName && !m_baseFolder.isEmpty()) {
        // A sub-path must stay below the base folder: "../x" or "/tmp/x" would make the
        // file somewhere the dialog never offered.
        const QString base = QDir::cleanPath(QDir(m_baseFolder).absolutePath());
        const QString target = QDir::cleanPath(info.absoluteFilePath());
        if (!target.startsWith(base + QLatin1Char('/')))
            return Invalid;
    }
    const auto known = m_known.constFind(candidate);
    if (known == m_known.constEnd()) {
        ask(candidate);
        return Intermediate;
    }
    if (known->exists)
        return Invalid;
    return plainName || known->folderExists ? Acceptable : Invalid;
}

void FilenameValidator::ask(const QString& candidate) const
{
    if (m_asked.contains(candidate))
        return;
    m_asked.insert(candidate);
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    auto* self = const_cast<FilenameValidator*>(this);
    m_worker.start([self, replies, candidate] {
        const QFileInfo info(candidate);
        Known found;
        found.exists = info.exists();
        found.folderExists = !found.exists && info.dir().exists();
        replies->post([self, candidate, found] {
            if (!self->m_asked.remove(candidate))
                return; // asked of another folder
            self->m_known.insert(candidate, found);
            emit self->changed();
        });
    });
}

#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QValidator>

#include <memory>

#include "core/leavableworker.h"

class ReplyTarget;

// Checks a new file or folder name typed in a dialog: a name that exists already is
// refused; with `allowSubfolders` a relative path into an existing folder below
// `baseFolder` is also taken. What the disk says of a name is asked off the GUI thread (the
// folder may be on a drive that hangs): until it is in, the name is Intermediate, and
// changed() asks for the input to be checked again once it is.
class FilenameValidator : public QValidator
{
    Q_OBJECT
    Q_PROPERTY(
        bool allowSubfolders READ allowSubfolders WRITE setAllowSubfolders NOTIFY allowSubfoldersChanged)
    Q_PROPERTY(QString baseFolder READ baseFolder WRITE setBaseFolder NOTIFY baseFolderChanged)

public:
    explicit FilenameValidator(QObject* parent = nullptr);
    ~FilenameValidator() override;

    bool allowSubfolders() const { return m_allowSubfolders; }
    QString baseFolder() const { return m_baseFolder; }

    State validate(QString& input, int& position) const override;

public slots:
    void setAllowSubfolders(bool allow);
    void setBaseFolder(const QString& folder);

signals:
    void allowSubfoldersChanged(bool allowSubfolders);
    void baseFolderChanged(const QString& baseFolder);

private:
    // What the disk said of a candidate path.
    struct Known
    {
        bool exists = false;
        bool folderExists = false; // the folder that would hold it
    };
    void ask(const QString& candidate) const;
    void forget();

    bool m_allowSubfolders = false;
    QString m_baseFolder;
    mutable QHash<QString, Known> m_known;
    mutable QSet<QString> m_asked;
    std::shared_ptr<ReplyTarget> m_replies;
    mutable LeavableWorker m_worker;
};

#pragma once

#include <QString>
#include <QValidator>

// Checks a new file or folder name typed in a dialog: a name that exists already is
// refused; with `allowSubfolders` a relative path into an existing folder below
// `baseFolder` is also taken.
class FilenameValidator : public QValidator
{
    Q_OBJECT
    Q_PROPERTY(
        bool allowSubfolders READ allowSubfolders WRITE setAllowSubfolders NOTIFY allowSubfoldersChanged)
    Q_PROPERTY(QString baseFolder READ baseFolder WRITE setBaseFolder NOTIFY baseFolderChanged)

public:
    explicit FilenameValidator(QObject* parent = nullptr);

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
    bool m_allowSubfolders = false;
    QString m_baseFolder;
};

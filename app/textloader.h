#pragma once

#include <QObject>
#include <QString>

// The text of a file as a property: setting a new path reads the whole file (an empty
// text when it cannot be read).
class TextLoader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString path READ path WRITE setPath NOTIFY textChanged)
    Q_PROPERTY(QString text READ text NOTIFY textChanged)

public:
    explicit TextLoader(QObject* parent = nullptr);

    QString path() const { return m_path; }
    QString text() const { return m_text; }

public slots:
    void setPath(const QString& path);

signals:
    void textChanged();

private:
    QString m_path;
    QString m_text;
};

#pragma once

#include <QObject>
#include <QString>

// The platform's default font family, for texts that must not use the bundled fonts.
class DefaultFont : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name CONSTANT)

public:
    explicit DefaultFont(QObject* parent = nullptr);

    QString name() const;
};

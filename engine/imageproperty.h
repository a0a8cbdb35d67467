#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

// One editable value of a picture: the value it had when loaded and the value set now.
// `parameter` is the engine's float parameter the value is written to (0 for geometry).
class ImageProperty : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name CONSTANT)
    Q_PROPERTY(QVariant originalValue READ originalValue WRITE setOriginalValue NOTIFY originalValueChanged)
    Q_PROPERTY(QVariant currentValue READ currentValue WRITE setCurrentValue NOTIFY currentValueChanged)

public:
    explicit ImageProperty(QObject* parent = nullptr);
    ImageProperty(const QString& name, int parameter, QObject* parent = nullptr);
    ImageProperty(const QString& name, QObject* parent);

    QString name() const { return m_name; }
    int parameter() const { return m_parameter; }

    QVariant originalValue() const { return m_originalValue; }
    QVariant currentValue() const { return m_currentValue; }
    // Assign and notify only when the value differs.
    void setOriginalValue(const QVariant& value);
    void setCurrentValue(const QVariant& value);

signals:
    void originalValueChanged();
    void currentValueChanged();

private:
    QString m_name;
    QVariant m_originalValue;
    QVariant m_currentValue;
    int m_parameter = 0;
};

#include "engine/z40elementproperties.h"

#include <QFileInfo>

Z40ElementProperties::Z40ElementProperties(QObject* parent)
    : QObject(parent)
    , m_timestampCreated(QDateTime::currentDateTime())
{ }

void Z40ElementProperties::setName(const QString& name)
{
    if (m_name == name)
        return;
    m_name = name;
    emit nameChanged();
}

void Z40ElementProperties::setBaseName(const QString& baseName)
{
    if (m_baseName == baseName)
        return;
    m_baseName = baseName;
    emit baseNameChanged();
}

void Z40ElementProperties::setFileName(const QString& fileName)
{
    if (m_fileName == fileName)
        return;
    m_fileName = fileName;
    emit fileNameChanged();
}

void Z40ElementProperties::setTimestampCreated(const QDateTime& timestamp)
{
    if (m_timestampCreated == timestamp)
        return;
    m_timestampCreated = timestamp;
    emit timestampCreatedChanged();
}

void Z40ElementProperties::setSize(qint64 size)
{
    if (m_size == size)
        return;
    m_size = size;
    emit sizeChanged();
}

void Z40ElementProperties::setFileInfo(const QString& path)
{
    const QFileInfo info(path);
    setBaseName(info.baseName());
    setFileName(info.fileName());
}

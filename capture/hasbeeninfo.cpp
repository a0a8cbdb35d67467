#include "capture/hasbeeninfo.h"

HasBeenInfo::HasBeenInfo(QObject* parent)
    : QObject(parent)
{ }

void HasBeenInfo::setModel(HasBeenModel* model)
{
    if (model == m_model)
        return;
    if (m_model)
        disconnect(m_model, &HasBeenModel::notifyHasBeen, this, &HasBeenInfo::onHasBeenImmediate);
    m_model = model;
    if (m_model)
        connect(m_model, &HasBeenModel::notifyHasBeen, this, &HasBeenInfo::onHasBeenImmediate);
    refresh();
    emit modelChanged();
}

void HasBeenInfo::setDevUuid(const QString& dev)
{
    const QUuid uuid(dev);
    if (uuid == m_dev)
        return;
    m_dev = uuid;
    refresh();
    emit uuidChanged(devUuid(), imgUuid());
}

void HasBeenInfo::setImgUuid(const QString& img)
{
    const QUuid uuid(img);
    if (uuid == m_img)
        return;
    m_img = uuid;
    refresh();
    emit uuidChanged(devUuid(), imgUuid());
}

void HasBeenInfo::onHasBeenImmediate(QUuid dev, QUuid img)
{
    if (!m_dev.isNull() && m_dev != dev)
        return;
    if (!img.isNull() && img == m_img)
        setHasBeen(true);
}

void HasBeenInfo::refresh()
{
    setHasBeen(m_model && m_model->hasBeen(m_dev, m_img));
}

void HasBeenInfo::setHasBeen(bool hasBeen)
{
    if (hasBeen == m_hasBeen)
        return;
    m_hasBeen = hasBeen;
    emit hasBeenChanged(hasBeen);
}

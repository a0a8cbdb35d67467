#pragma once

#include "capture/hasbeenmodel.h"

#include <QObject>
#include <QPointer>
#include <QUuid>

// Whether one picture was imported before, for one cell of an import view; turns true
// when the picture is marked while the view is open.
class HasBeenInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(HasBeenModel* model READ model WRITE setModel NOTIFY modelChanged)
    Q_PROPERTY(QString devUuid READ devUuid WRITE setDevUuid NOTIFY uuidChanged)
    Q_PROPERTY(QString imgUuid READ imgUuid WRITE setImgUuid NOTIFY uuidChanged)
    Q_PROPERTY(bool hasBeen READ hasBeen NOTIFY hasBeenChanged)

public:
    explicit HasBeenInfo(QObject* parent = nullptr);

    HasBeenModel* model() const { return m_model; }
    void setModel(HasBeenModel* model);
    QString devUuid() const { return m_dev.isNull() ? QString() : m_dev.toString(); }
    void setDevUuid(const QString& dev);
    QString imgUuid() const { return m_img.isNull() ? QString() : m_img.toString(); }
    void setImgUuid(const QString& img);
    bool hasBeen() const { return m_hasBeen; }

public slots:
    void onHasBeenImmediate(QUuid dev, QUuid img);

signals:
    void modelChanged();
    void uuidChanged(QString dev, QString img);
    void hasBeenChanged(bool hasBeen);

private:
    void refresh();
    void setHasBeen(bool hasBeen);

    QPointer<HasBeenModel> m_model;
    QUuid m_dev;
    QUuid m_img;
    bool m_hasBeen = false;
};

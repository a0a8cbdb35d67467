#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QUrl>

// One file found on a device. The files of one picture (raw, state, preview) share a
// link id and become one item of the session.
struct CapturedImage
{
    QString linkId;
    // How the transport addresses the file: the device object id, or the path relative to
    // the volume root.
    QString remoteId;
    QString fileName;
    qint64 fileSize = 0;
    // A local file URL when the file is readable in place; empty when it must be fetched.
    QUrl location;
};

Q_DECLARE_METATYPE(CapturedImage)
Q_DECLARE_METATYPE(QList<CapturedImage>)

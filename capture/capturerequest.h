#pragma once

#include <QDir>
#include <QString>
#include <QStringList>

// What a capture session is opened with.
struct CaptureRequest
{
    QString deviceId;
    // The device's folder in the data store.
    QDir data;
    // The device's folder in the file cache.
    QDir cache;
    // Names of files the transport hands over as reserved files instead of items.
    QStringList reserved;
};

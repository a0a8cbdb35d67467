#pragma once

#include "capture/capturedevice.h"

#include <QObject>

// What a transport reports about devices while it discovers them.
class CaptureListener : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void notifyCaptureDeviceFound(CaptureDevice device);
    void notifyCaptureDeviceUpdated(CaptureDevice device);
    void notifyCaptureDeviceLost(CaptureDevice device);
};

#pragma once

#include <QMetaType>
#include <QString>

// One device as a transport announces it.
struct CaptureDevice
{
    // The device's identity: the portable-device id or the link key of a volume group.
    QString deviceId;
    QString name;
    // 0: portable device, 1: USB volume group; anything else names no transport.
    int transport = -1;

    static constexpr int kPortableDevice = 0;
    static constexpr int kVolumeGroup = 1;
};

Q_DECLARE_METATYPE(CaptureDevice)

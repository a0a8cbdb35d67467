#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Takes a removable drive away safely: unmounts each of its mounted file systems and
// then powers it off or ejects its medium.
class IVolumeEjector
{
public:
    virtual ~IVolumeEjector() = default;

    // Ejects the drive that holds the block device `device`, calling `beforeUnmount` with
    // each mount point just before it is unmounted. True when the drive was found and the
    // sequence ran; a step that fails is logged and the next one is still tried.
    virtual bool eject(const QByteArray& device, const std::function<void(const QString&)>& beforeUnmount)
        = 0;
};

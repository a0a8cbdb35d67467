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
    // each mount point just before it is unmounted. True when the drive was found and every
    // file system of it unmounted; the power-off (or the medium's eject) that follows may
    // fail with only a log line. A file system that stays mounted (in use) ends the eject
    // there with false: the drive is not powered off, and nobody is told it may be pulled.
    virtual bool eject(const QByteArray& device, const std::function<void(const QString&)>& beforeUnmount)
        = 0;
};

#pragma once

#include "platform/ifilecalls.h"
#include "platform/portabledevice.h"

#include <QString>

// The host file that receives a copy from a device: written as "<target>.transfer",
// forced to disk, renamed over the target and the folder forced, so the target is either
// the old file or the complete new one. The temporary file is locked while it is written,
// up to its rename: a second copy into the same name (another device's file of that name)
// is refused instead of writing into it.
class TransferFile
{
public:
    explicit TransferFile(IFileCalls& calls = systemFileCalls())
        : m_calls(calls)
    { }
    ~TransferFile() { discard(); }
    TransferFile(const TransferFile&) = delete;
    TransferFile& operator=(const TransferFile&) = delete;

    // Creates (truncates) the temporary file; false when the folder is missing or unwritable
    // or another copy writes the same name (openResult() then tells which).
    bool open(const QString& target);
    // Why the last open failed: kDiskFull, kWriteProtected (a read-only folder or volume),
    // kNotFound (no such folder), kAlreadyExists (another copy writes that name) or kFailed.
    PortableDevice::Result openResult() const { return m_openResult; }
    // kOk, kDiskFull for a full disk or a short write, kWriteProtected when the volume
    // turned read-only, kFailed otherwise.
    PortableDevice::Result write(const char* data, qint64 length);
    // fsync, close, rename over the target, fsync the folder. On failure the temporary
    // file is deleted and the target left as it was.
    bool commit();
    // commit() without the folder's fsync, for callers that put several files in place
    // and force their folder once: the new name is not durable until syncFolder().
    bool place();
    // False: place() never replaces a file at the target, and fails (placeResult()
    // kAlreadyExists) when one took the name since it was chosen free.
    void setReplaceTarget(bool replace) { m_replaceTarget = replace; }
    // Why the last place() failed: kAlreadyExists or kFailed.
    PortableDevice::Result placeResult() const { return m_placeResult; }
    // Forces the target's folder to the device; false (errno set) when that fails.
    bool syncFolder();
    // The folder that receives the target.
    QString folder() const;
    // Closes and deletes the temporary file.
    void discard();
    bool isOpen() const { return m_fd >= 0; }
    QString temporaryPath() const { return m_temporary; }

private:
    IFileCalls& m_calls;
    int m_fd = -1;
    PortableDevice::Result m_openResult = PortableDevice::kOk;
    PortableDevice::Result m_placeResult = PortableDevice::kOk;
    bool m_replaceTarget = true;
    qint64 m_written = 0; // bytes written to the temporary file
    qint64 m_writebackFrom = 0; // written bytes whose writeback was not started yet begin here
    QString m_target;
    QString m_temporary;
};

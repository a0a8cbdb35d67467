#pragma once

#include <QString>

#include "platform/ifilecalls.h"

// Copies a regular file without ever overwriting: the target is created exclusively,
// filled (copy_file_range, or read and write where the kernel or the file system
// cannot), given the source's permission bits and times, and synced. On any failure
// the partial target is removed and errno tells why.
class NativeFileCopy
{
public:
    explicit NativeFileCopy(IFileCalls& calls = systemFileCalls());

    bool copy(const QString& source, const QString& target);

    // The errno of the last failed copy, 0 after a success.
    int error() const { return m_error; }

private:
    bool fill(int in, int out, off_t size);
    bool readWriteFrom(int in, int out);

    IFileCalls& m_calls;
    int m_error = 0;
};

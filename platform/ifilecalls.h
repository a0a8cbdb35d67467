#pragma once

#include <sys/types.h>

#include <cstddef>

// The system calls that move file data and put files in place, behind one seam so a test can make them fail
// (a full disk in the middle of a copy, an I/O error at sync). Each returns what the
// system call returns and leaves errno set on failure.
class IFileCalls
{
public:
    virtual ~IFileCalls() = default;
    virtual ssize_t copyFileRange(int in, int out, size_t length) = 0;
    virtual ssize_t read(int fd, void* buffer, size_t length) = 0;
    virtual ssize_t write(int fd, const void* buffer, size_t length) = 0;
    virtual int fsync(int fd) = 0;
    // Renames without ever replacing an existing file (EEXIST when `to` exists).
    virtual int renameNoReplace(const char* from, const char* to);
    // Forces a folder's entries to the device.
    virtual int syncFolder(const char* folder);
    // Starts writing a range of a file to the device without waiting for it, so that the
    // sync at the end of a large file waits for less. A hint: durable only after fsync.
    virtual void startWriteback(int fd, off_t offset, off_t length);
};

// The real system calls.
IFileCalls& systemFileCalls();

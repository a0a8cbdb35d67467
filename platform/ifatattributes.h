#pragma once

#include <cstdint>

// The FAT attribute calls of the kernel's vfat driver, behind a seam for tests.
class IFatAttributes
{
public:
    virtual ~IFatAttributes() = default;
    // True when the descriptor lies on a vfat file system.
    virtual bool isFat(int fd) = 0;
    virtual bool getAttributes(int fd, uint32_t* attributes) = 0;
    virtual bool setAttributes(int fd, uint32_t attributes) = 0;
};

IFatAttributes& systemFatAttributes();

#include "ciapi/freememory.h"

#include <cstdlib> // defines __GLIBC__ with glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace CIAPI {

bool ReturnFreeMemory()
{
#if defined(__GLIBC__)
    return malloc_trim(0) != 0;
#else
    return false;
#endif
}

} // namespace CIAPI

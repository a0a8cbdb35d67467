#include "ciapi/ciapi.h"

namespace CIAPI {

void StaticShutdown()
{
}

} // namespace CIAPI

#include "display/logging.h"

Q_LOGGING_CATEGORY(lcDisplay, "ostra.display")

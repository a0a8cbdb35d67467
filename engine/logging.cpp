#include "engine/logging.h"

Q_LOGGING_CATEGORY(lcEngine, "ostra.engine")

#include "library/logging.h"

Q_LOGGING_CATEGORY(lcLibrary, "ostra.library")

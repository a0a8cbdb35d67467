#include "pipeline/logging.h"

Q_LOGGING_CATEGORY(lcPipeline, "ostra.pipeline")

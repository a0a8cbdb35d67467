#include "reports/logging.h"

Q_LOGGING_CATEGORY(lcReports, "ostra.reports")

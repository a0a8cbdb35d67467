#pragma once

#include <QLoggingCategory>

// The log category of everything in reports/ ("ostra.reports"), so QT_LOGGING_RULES can filter it.
Q_DECLARE_LOGGING_CATEGORY(lcReports)

#pragma once

#include <QString>

#include <exception>

// The text of a caught exception for a log line: its what(), or "Unknown exception".
QString exceptionText(std::exception_ptr error);

#pragma once

#include <QByteArray>
#include <QString>

namespace ostra::test {

// Writes a file with the given content, making its folders first; false on failure.
bool writeTreeFile(const QString& path, const QByteArray& content = "vrx");

} // namespace ostra::test

#pragma once

// Whole-file reads for tests that compare what is on disk byte for byte.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace ostra::test {

// The content of the file at `path`; empty when it cannot be read.
inline QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace ostra::test

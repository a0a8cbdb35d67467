#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace ostra::test {

// Writes a file with the given content, making its folders first; false on failure.
bool writeTreeFile(const QString& path, const QByteArray& content = "vrx");

// A temporary folder tree, removed with the object; paths are canonical, so they compare
// equal to what the system reports for them.
class TempTree
{
public:
    TempTree();
    bool isValid() const { return m_dir.isValid() && !m_base.isEmpty(); }
    QString base() const { return m_base; }
    // The path of `relative` inside the tree.
    QString path(const QString& relative) const { return m_base + QLatin1Char('/') + relative; }

private:
    QTemporaryDir m_dir;
    QString m_base;
};

} // namespace ostra::test

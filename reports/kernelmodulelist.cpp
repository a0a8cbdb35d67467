#include "reports/kernelmodulelist.h"

#include <QFile>
#include <QStringList>

namespace {

QByteArray quoted(QByteArray field)
{
    field.replace('"', "\"\"");
    return '"' + field + '"';
}

} // namespace

KernelModuleList::KernelModuleList(const QString& path)
    : m_path(path)
{ }

bool KernelModuleList::query(QByteArray& csv, QString& error)
{
    QFile file(m_path);
    // A file of the proc file system reports no size: read until the end.
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
    const QByteArray modules = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        error = file.errorString();
        return false;
    }
    csv = csvFromModules(modules);
    return true;
}

QByteArray KernelModuleList::csvFromModules(const QByteArray& modules)
{
    // name size instances dependencies state address [taints]
    QByteArray csv = "\"Module Name\",\"Size\",\"Instances\",\"Used By\",\"State\",\"Address\"\r\n";
    for (const QByteArray& line : modules.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6)
            continue;
        QByteArray usedBy = fields.at(3);
        if (usedBy == "-")
            usedBy.clear();
        while (usedBy.endsWith(','))
            usedBy.chop(1);
        const QList<QByteArray> row { fields.at(0), fields.at(1), fields.at(2), usedBy, fields.at(4),
            fields.at(5) };
        QList<QByteArray> cells;
        for (const QByteArray& cell : row)
            cells << quoted(cell);
        csv += cells.join(',') + "\r\n";
    }
    return csv;
}

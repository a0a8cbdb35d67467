#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>

namespace ostra::test {

// The resident size, in KB, of this process's mapping that holds the address (-1 when no
// mapping does), as the kernel reports it.
inline qint64 residentKb(const void* address)
{
    QFile smaps(QStringLiteral("/proc/self/smaps"));
    if (!smaps.open(QIODevice::ReadOnly))
        return -1;
    const quintptr at = quintptr(address);
    bool inside = false;
    for (const QByteArray& line : smaps.readAll().split('\n')) {
        const QByteArray first = line.left(line.indexOf(' '));
        if (first.endsWith(':')) {
            if (inside && first == "Rss:")
                return line.mid(4).trimmed().split(' ').value(0).toLongLong();
            continue;
        }
        // A mapping's first line: its address range.
        const QList<QByteArray> range = first.split('-');
        bool okStart = false;
        bool okEnd = false;
        const quintptr start = quintptr(range.value(0).toULongLong(&okStart, 16));
        const quintptr end = quintptr(range.value(1).toULongLong(&okEnd, 16));
        inside = okStart && okEnd && at >= start && at < end;
    }
    return -1;
}

} // namespace ostra::test

#include "reports/filesegment.h"

#include <QFileInfo>
#include <QUrl>

#include <algorithm>

FileSegment::FileSegment(const QString& fileName, qint64 offset, qint64 length, QObject* parent)
    : QFile(fileName, parent)
    , m_offset(std::max<qint64>(offset, 0))
    , m_length(std::max<qint64>(length, 0))
{ }

QUrlQuery FileSegment::segmentQuery(qint64 offset, qint64 length)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("offset"), QString::number(offset));
    query.addQueryItem(QStringLiteral("length"), QString::number(length));
    return query;
}

QPair<qint64, qint64> FileSegment::segmentOf(const QUrl& url)
{
    qint64 offset = 0;
    qint64 length = -1;
    const QUrlQuery query(url);
    for (const QString& text : query.allQueryItemValues(QStringLiteral("offset"))) {
        bool ok = false;
        const qint64 value = text.toLongLong(&ok);
        if (ok)
            offset = value;
    }
    for (const QString& text : query.allQueryItemValues(QStringLiteral("length"))) {
        bool ok = false;
        const qint64 value = text.toLongLong(&ok);
        if (ok)
            length = value;
    }
    if (length < 0)
        length = QFileInfo(url.toLocalFile()).size();
    return { offset, length };
}

bool FileSegment::open(OpenMode mode)
{
    const OpenMode readOnly = mode & (ReadOnly | Text | Unbuffered);
    return QFile::open(readOnly | ReadOnly) && seek(0);
}

qint64 FileSegment::pos() const
{
    return QFile::pos() - m_offset;
}

qint64 FileSegment::size() const
{
    return m_length;
}

bool FileSegment::seek(qint64 pos)
{
    return QFile::seek(pos + m_offset);
}

bool FileSegment::atEnd() const
{
    return pos() >= size();
}

bool FileSegment::resize(qint64 size)
{
    Q_UNUSED(size)
    return false;
}

qint64 FileSegment::readData(char* data, qint64 maxSize)
{
    const qint64 rest = size() - pos();
    if (rest < 1)
        return 0;
    return QFile::readData(data, std::min(maxSize, rest));
}

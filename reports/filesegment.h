#pragma once

#include <QFile>
#include <QPair>
#include <QUrlQuery>

// The bytes [offset, offset + length) of a file as a read-only device whose positions
// start at 0. Read it with read() (QIODevice::readAll works from the file's own
// position and does not fit a segment).
class FileSegment : public QFile
{
    Q_OBJECT
public:
    FileSegment(const QString& fileName, qint64 offset, qint64 length, QObject* parent = nullptr);

    qint64 offset() const { return m_offset; }
    qint64 length() const { return m_length; }

    // A byte range as URL query items "offset" and "length".
    static QUrlQuery segmentQuery(qint64 offset, qint64 length);
    // The range a URL names: (0, -1) unless given; a missing or negative length is the
    // whole file's size.
    static QPair<qint64, qint64> segmentOf(const QUrl& url);

    bool open(OpenMode mode) override;
    qint64 pos() const override;
    qint64 size() const override;
    bool seek(qint64 pos) override;
    bool atEnd() const override;
    bool resize(qint64 size) override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    qint64 m_offset;
    qint64 m_length;
};

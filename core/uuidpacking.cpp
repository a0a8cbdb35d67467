#include "core/uuidpacking.h"

#include <QByteArray>
#include <QStringList>
#include <QtEndian>

namespace {

QUuid fromBigEndianWords(const uint32_t (&words)[4])
{
    QByteArray bytes(16, '\0');
    for (int k = 0; k < 4; ++k)
        qToBigEndian<quint32>(words[k], bytes.data() + 4 * k);
    return QUuid::fromRfc4122(bytes);
}

} // namespace

QUuid uuidFromHexWords(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('-'), Qt::KeepEmptyParts);
    if (parts.size() != 4)
        return QUuid();
    uint32_t words[4];
    for (int k = 0; k < 4; ++k) {
        bool ok = false;
        const QString padded = parts[k].rightJustified(8, QLatin1Char('0'));
        const uint value = padded.toUInt(&ok, 16);
        words[k] = ok ? value : 0;
    }
    return fromBigEndianWords(words);
}

QUuid uuidFromWords(const std::vector<uint32_t>& words)
{
    if (words.size() != 4)
        return QUuid();
    const uint32_t packed[4] = { words[0], words[1], words[2], words[3] };
    return fromBigEndianWords(packed);
}

QUuid uuidFromInt64Pair(qint64 high, qint64 low)
{
    QByteArray bytes(16, '\0');
    qToBigEndian<quint64>(quint64(high), bytes.data());
    qToBigEndian<quint64>(quint64(low), bytes.data() + 8);
    return QUuid::fromRfc4122(bytes);
}

#pragma once

#include <QString>
#include <QUuid>
#include <QtGlobal>

#include <cstdint>
#include <vector>

// UUIDs given as 32-bit or 64-bit words are packed big-endian, one word after the
// other, and the 16 bytes are read as an RFC 4122 UUID.

// Four "-"-separated hexadecimal words ("1-2-a-FFFFFFFF"); a word that does not parse
// counts as 0; any other number of parts gives the null UUID.
QUuid uuidFromHexWords(const QString& text);

// Exactly four words, else the null UUID.
QUuid uuidFromWords(const std::vector<uint32_t>& words);

QUuid uuidFromInt64Pair(qint64 high, qint64 low);

#pragma once

#include <QString>

// The whole text of the file, or an empty string when it cannot be opened.
QString readTextFile(const QString& path);

// "a_b_1_c" -> "a_b": a name of at least three "_"-separated parts whose third part
// is "1" loses everything from its second "_" on; any other name is kept.
QString normalizeUnderscoreName(const QString& name);

// A size for people: "1 byte", "512 bytes", "12 KB", "1.5 MB", "3.2 GB", "1.1 TB" (units
// of 1024; kilobytes whole, larger units with one decimal). Negative sizes read "unknown".
QString sizeText(qint64 bytes);

// A count with its noun: "1 picture", "0 pictures", "2,000 pictures" (`one` for exactly
// one, `many` otherwise; thousands grouped with commas).
QString countText(qint64 count, const QString& one, const QString& many);

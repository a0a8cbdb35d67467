#pragma once

#include <QList>
#include <QVariant>

#include <array>

#include "library/filekey.h"

// The gallery's comparators and section key functions over cached file keys. A
// comparator returns a negative number, 0 or a positive number; every one ends with the
// URL's text, so 0 means the same file.
namespace Comparators {

// By the URL's text.
int byUrl(const FileKey& a, const FileKey& b);
// By capture day, then by time of day; 0 on the same time (an inner comparator).
int byDate(const FileKey& a, const FileKey& b);
// Capture time, then file name, then URL text.
int byTimestamp(const FileKey& a, const FileKey& b);
// Rating, then as byTimestamp.
int byRating(const FileKey& a, const FileKey& b);
// Folder parts one by one (a folder before its subfolders), then file name, then URL text.
int byFolder(const FileKey& a, const FileKey& b);

// Nine characters of the text that byUrl or byFolder is decided by, from `offset` on,
// three to a number, each character as a number below kUnitBase and 0 past the end:
// ordered as those comparators order the files, as far as the characters go.
constexpr int kPrefixUnits = 9;
constexpr qint64 kUnitBase = 0x10004;
using TextPrefix = std::array<qint64, 3>;
// The URL's text.
TextPrefix urlPrefix(const FileKey& key, int offset);
// The folder, a mark lower than any character, then the file name; "/" below every
// other character. All 0 for a file without folder parts, which sorts first.
TextPrefix folderPrefix(const FileKey& key, int offset);

// One null key: all files in one section.
QList<QVariant> nullKey(const FileKey& key);
// [year, month, day] of the capture time.
QList<QVariant> dayKey(const FileKey& key);
// [rating].
QList<QVariant> ratingKey(const FileKey& key);
// The folder's parts.
QList<QVariant> folderKey(const FileKey& key);

} // namespace Comparators

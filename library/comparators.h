#pragma once

#include <QList>
#include <QVariant>

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

// The texts that byUrl and byFolder are decided by, as numbers per character (0 past the
// end), ordered as those comparators order them.
qint64 urlUnit(const FileKey& key, int i);
// The folder, a mark lower than any character, then the file name; "/" below every
// other character. 0 throughout for a file without folder parts, which sorts first.
qint64 folderUnit(const FileKey& key, int i);

// One null key: all files in one section.
QList<QVariant> nullKey(const FileKey& key);
// [year, month, day] of the capture time.
QList<QVariant> dayKey(const FileKey& key);
// [rating].
QList<QVariant> ratingKey(const FileKey& key);
// The folder's parts.
QList<QVariant> folderKey(const FileKey& key);

} // namespace Comparators

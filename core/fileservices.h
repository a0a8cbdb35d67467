#pragma once

#include <QList>
#include <QString>
#include <QUrl>

class QFileDevice;

// Moves local files to the desktop trash, one at a time; true only when every file
// was moved (an empty list counts as done).
bool deleteToRecycleBin(const QList<QUrl>& urls);
bool deleteToRecycleBin(const QUrl& url);

// Copies source to target without ever overwriting; keeps the permission bits and
// the modification time, syncs the copy, and removes a partial target on failure.
// errno tells why a copy failed.
bool copyFileNative(const QString& source, const QString& target);

// Flushes Qt's buffer and forces the file's data to the device.
bool flushToDisk(QFileDevice& file);

// Forces a folder's entries to the device after a file was renamed or created in it.
bool flushFolderToDisk(const QString& folder);

// Hides the file or folder where the file system keeps such an attribute.
bool setNativeFileAttributes(const QString& path);

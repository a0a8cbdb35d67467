#pragma once

#include <QString>

// Makes sure a folder exists: true when it is there already, else it is created with
// every missing parent from its absolute path ("/a/b" stays absolute, whatever the
// current folder is) and the answer says whether that worked.
bool makeFolder(const QString& folder);

// Makes the folder that holds the file `filePath`.
bool makeFolderOf(const QString& filePath);

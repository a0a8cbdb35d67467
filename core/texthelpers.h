#pragma once

#include <QString>

// The whole text of the file, or an empty string when it cannot be opened.
QString readTextFile(const QString& path);

// "a_b_1_c" -> "a_b": a name of at least three "_"-separated parts whose third part
// is "1" loses everything from its second "_" on; any other name is kept.
QString normalizeUnderscoreName(const QString& name);

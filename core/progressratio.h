#pragma once

#include <QMetaType>
#include <QPair>
#include <QtGlobal>

// Progress as a pair (done, total) of signed 64-bit counts.
using ProgressRatio = QPair<qlonglong, qlonglong>;

#pragma once

// What a picture's state file holds, read back through the engine's own reader.

#include "ciapi/state/enginestate.h"
#include "ciapi/statefileeditor.h"
#include "engine/statefile.h"

#include <QFile>

#include <fstream>

namespace ostra::test {

struct SavedState
{
    bool exists = false;
    float exposure = 0; // the engine's float parameter 2, set by the exposure entry
    int rating = 0;
    bool thumbnail = false;
};

inline SavedState savedState(const QString& rawPath)
{
    std::ifstream in(
        QFile::encodeName(StateFile::pathFor(QUrl::fromLocalFile(rawPath))).toStdString(), std::ios::binary);
    if (!in)
        return {};
    const CIAPI::StateFileEditor editor(in);
    const auto& tunes = editor.state().tuneFloats;
    return { true, tunes && tunes->count(2) ? tunes->at(2) : 0.f, editor.userRating(),
        editor.hasThumbnail() };
}

} // namespace ostra::test

#pragma once

#include "pipeline/interfaces/recipe.h"

#include <QJsonDocument>
#include <QString>

// The kind of a camera file, given as the first item role of its kind.
enum FileKind : int {
    PreviewKind = 262, // "jpg", role names start with "thm"
    StateKind = 265, // "vrxs", role names start with "state"
    RawKind = 268, // "vrx", role names start with "raw"
    NoKind = 280, // anything else: not part of an item
};

// The kind told by a suffix, compared without regard to case.
int fileKind(const QString& suffix);
// The kind of the file a recipe names (its document's "type").
int fileKind(const Recipe& recipe);

// The key that names a file inside a recipe: {"file": complete base name, "type": suffix}.
// It is stored with recipes, so its shape never changes.
QJsonDocument fileKeyDocument(const QString& name);

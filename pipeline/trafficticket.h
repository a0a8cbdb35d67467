#pragma once

#include <QMetaType>
#include <QString>
#include <QUrl>
#include <QUuid>

#include "pipeline/ifilesink.h"
#include "pipeline/interfaces/recipe.h"
#include "pipeline/interfaces/volume.h"

// One transfer problem waiting for the user: what went wrong, how far it reaches, and
// the request it was raised on.
struct TrafficTicket
{
    int error = IFileSink::NoError;
    int scope = IFileSink::NoScope;
    QString target; // local path of the target file
    QString folder; // absolute path of the target's folder
    Recipe recipe;
    QUuid session;
    Volume volume;

    TrafficTicket() = default;
    // A ticket for `error`, reaching as far as the error does, filled from one request.
    TrafficTicket(
        int error, const QUrl& target, const Recipe& recipe, const QUuid& session, const Volume& volume);

    // Reaches only files of one volume or less.
    bool localScope() const { return scope >= IFileSink::TargetScope && scope <= IFileSink::VolumeScope; }
    bool driveScope() const { return scope == IFileSink::VolumeScope; }

    // Whether `other` reaches the requests that `first` reaches, judged by `first`'s
    // scope; with `withErrors`, tickets of different errors never do.
    static bool sameScope(const TrafficTicket& first, const TrafficTicket& other, bool withErrors);
};

Q_DECLARE_METATYPE(TrafficTicket)

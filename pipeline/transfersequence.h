#pragma once

#include <QDateTime>
#include <QSet>
#include <QString>
#include <QStringList>

#include <set>

#include "pipeline/interfaces/iochannel.h"
#include "pipeline/interfaces/volume.h"

// Target paths in path order.
using PathSet = std::set<QString>;

// The requests of one import session as the router groups them. A target is under way
// when it is in `all` but neither pending nor done.
struct TransferSequence
{
    QStringList path; // folder components common to every target ("" first: absolute)
    QSet<IOChannel> channels;
    QList<IOChannel> channelOrder; // channels in the order they joined
    QSet<Volume> volumes;
    PathSet all;
    PathSet pending;
    PathSet done;
    PathSet raw;
    PathSet toVerify;
    int waiting = 0; // pending targets that wait only for room on their channel
    int err = 0;
    bool free = false;
    bool active = true;
    bool cancelled = false;
    QDateTime created = QDateTime::currentDateTime();

    bool finished() const { return all.size() == done.size(); }
    bool underWay() const { return all.size() != done.size() + pending.size(); }
};

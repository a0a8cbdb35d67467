#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QHash>
#include <QList>
#include <QPair>
#include <QUrl>
#include <QVariantMap>

#include "reports/osm/state.h"

// The upload state of one report archive, keyed by the archive's local file URL.
class EvidenceTrace : public osm::State<QUrl>
{
public:
    using Segment = QPair<qint64, qint64>;
    using DigestKey = QPair<Segment, QCryptographicHash::Algorithm>;

    EvidenceTrace() = default;
    explicit EvidenceTrace(const QUrl& url) { setKey(url); }

    bool isNull() const override { return !key().isValid(); }

    // Checksums of byte ranges (offset, length) of the file.
    QHash<DigestKey, QByteArray> digests;
    // The ranges the object store receives.
    QList<Segment> parts;
    // The report's feedback and the ticket text.
    QVariantMap info;
    QByteArray body;
    bool anonymous = false;
    bool accessible = true;
    // Set once `uploaded` was sent for this state, so it is sent once only.
    bool announced = false;
};

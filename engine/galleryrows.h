#pragma once

#include "engine/iresolver.h"
#include "engine/vrxmetadata.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QUrl>
#include <QVariant>

// The image service's gallery values: one row per file, keyed by the file's key, rebuilt
// from every indexing result. `modified` comes before a non-empty row is replaced or
// changed, `resolved` after; receivers connected directly still read the old row while
// they handle `modified`.
//
// Reads of a file run in parallel and may end in any order, and the service changes some
// values itself once it has written them to the file (a rating). Every read and every such
// change takes a stamp from one clock when it begins: a read ending after a read that began
// later is dropped, and a value changed here after a read began stays what it is when that
// read ends (the read may have looked at the file before the change reached it).
class GalleryRows : public QObject
{
    Q_OBJECT
public:
    explicit GalleryRows(QObject* parent = nullptr);

    const QHash<int, QByteArray>& roleNames() const { return m_roleNames; }
    bool contains(const QUrl& url) const { return m_rows.contains(url); }
    // The row of a file (empty when there is none).
    QMap<int, QVariant> value(const QUrl& url) const { return m_rows.value(url).values; }
    // The stamp of a read of a file that begins now: the read sees every change made so far.
    quint64 beginRead() { return ++m_clock; }
    // Stores the row built from an indexing result and announces the change. `readStamp`
    // is the stamp the read took when it began. False when a read that began later is
    // stored already: this result is older than the row and nothing changed.
    bool store(const QUrl& url, const VrxMetadata& record, quint64 readStamp);
    // Sets the rating in a file's non-empty row and announces it.
    void setRating(const QUrl& url, int rating) { change(url, { { IResolver::Rating, rating } }); }
    // Sets values of a file's non-empty row that the service changed in the file itself,
    // and announces them. A read that began before stores everything else it found.
    // False when the file has no row or an empty one.
    bool change(const QUrl& url, const QMap<int, QVariant>& values);
    // Forgets the empty rows of files whose metadata was still being read.
    void dropEmpty();
    // Forgets the row of a file no gallery lists any more.
    void remove(const QUrl& url) { m_rows.remove(url); }
    int count() const { return m_rows.size(); }

signals:
    void modified(QUrl location);
    void resolved(QUrl location);

private:
    struct Row
    {
        QMap<int, QVariant> values;
        // The stamp of the read stored last.
        quint64 readStamp = 0;
        // Roles changed here, with the stamp of their last change, until a read that
        // began after it is stored.
        QHash<int, quint64> changed;
    };
    QHash<QUrl, Row> m_rows;
    QHash<int, QByteArray> m_roleNames;
    quint64 m_clock = 0;
};

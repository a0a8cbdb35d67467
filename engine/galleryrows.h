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
class GalleryRows : public QObject
{
    Q_OBJECT
public:
    explicit GalleryRows(QObject* parent = nullptr);

    const QHash<int, QByteArray>& roleNames() const { return m_roleNames; }
    bool contains(const QUrl& url) const { return m_rows.contains(url); }
    // The row of a file (empty when there is none).
    QMap<int, QVariant> value(const QUrl& url) const { return m_rows.value(url); }
    // Stores the row built from an indexing result and announces the change.
    void store(const QUrl& url, const VrxMetadata& record);
    // Sets the rating in a file's non-empty row and announces it.
    void setRating(const QUrl& url, int rating);
    // Forgets the empty rows of files whose metadata was still being read.
    void dropEmpty();
    // Forgets the row of a file no gallery lists any more.
    void remove(const QUrl& url) { m_rows.remove(url); }
    int count() const { return m_rows.size(); }

signals:
    void modified(QUrl location);
    void resolved(QUrl location);

private:
    QHash<QUrl, QMap<int, QVariant>> m_rows;
    QHash<int, QByteArray> m_roleNames;
};

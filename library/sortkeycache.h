#pragma once

#include <QMap>
#include <QObject>
#include <QSet>
#include <QUrl>
#include <QVariant>

#include <unordered_map>
#include <vector>

#include "library/filekey.h"

class IHeaders;

// The sort keys of one resolver's files, shared by every ordering that reads that
// resolver. It lives as a child of the resolver, so it goes away with it.
//
// A cached key is replaced only through refresh(), which the gallery model calls when it
// re-places a file whose headers changed; between a `modified` and its `resolved` the old
// key keeps answering, so a file is found where it was put.
class SortKeyCache : public QObject
{
    Q_OBJECT
public:
    // The resolver's cache, created on first use.
    static SortKeyCache* of(IHeaders* headers);

    // The cached key, read from the headers when there is none yet.
    const FileKey& key(const QUrl& url);
    // Asks the memory for the place where key() will look the URL up, ahead of a run of
    // look-ups.
    void prefetch(const QUrl& url) const;
    // Reads the key again from the current headers.
    const FileKey& refresh(const QUrl& url);
    int size() const { return int(m_keys.size()); }
    // Drops the keys of files no list shows any more (a session the gallery left), so the
    // cache holds the files of the lists shown rather than every file ever sorted. A key
    // asked for again is read anew from the headers.
    void forget(const QSet<QUrl>& urls);
    // Room for `count` files, so the tables do not grow while a stream of files comes in.
    void reserve(int count);

    static FileKey make(const QUrl& url, const QMap<int, QVariant>& headers);

private:
    explicit SortKeyCache(IHeaders* headers);
    void remember(const QUrl& url, FileKey* key);

    struct UrlHash
    {
        size_t operator()(const QUrl& url) const { return qHash(url); }
    };

    IHeaders* m_headers;
    std::unordered_map<QUrl, FileKey, UrlHash> m_keys;
    // Shortcut from a URL value's identity to its key, for the lists' own copies; `m_pinned`
    // keeps each identity's value alive so its address is never reused meanwhile. An open
    // table probed in line: a look-up touches one place in memory, not a chain of nodes.
    struct Shortcut
    {
        quintptr identity = 0;
        FileKey* key = nullptr;
    };
    FileKey* shortcut(quintptr identity) const;
    bool addShortcut(quintptr identity, FileKey* key);
    void growShortcuts(size_t capacity);
    std::vector<Shortcut> m_shortcuts; // a power of two in size, at most half full
    size_t m_shortcutCount = 0;
    std::vector<QUrl> m_pinned;
};

#include "library/sortkeycache.h"

#include <QDateTime>

#include "engine/iresolver.h"

SortKeyCache::SortKeyCache(IHeaders* headers) : QObject(headers), m_headers(headers)
{
    setObjectName(QStringLiteral("sortKeyCache"));
}

SortKeyCache* SortKeyCache::of(IHeaders* headers)
{
    if (!headers)
        return nullptr;
    auto* cache = headers->findChild<SortKeyCache*>(QString(), Qt::FindDirectChildrenOnly);
    return cache ? cache : new SortKeyCache(headers);
}

const FileKey& SortKeyCache::key(const QUrl& url)
{
    auto it = m_keys.find(url);
    if (it != m_keys.end())
        return it->second;
    return m_keys.emplace(url, make(url, m_headers->rowFor(url))).first->second;
}

const FileKey& SortKeyCache::refresh(const QUrl& url)
{
    FileKey& stored = m_keys[url];
    stored = make(url, m_headers->rowFor(url));
    return stored;
}

FileKey SortKeyCache::make(const QUrl& url, const QMap<int, QVariant>& headers)
{
    FileKey key;
    key.url = url.toString();
    key.name = url.fileName(QUrl::FullyDecoded);
    key.path = url.toLocalFile();
    const int slash = key.path.lastIndexOf(QLatin1Char('/'));
    key.nameStart = slash + 1;
    if (key.pathName() == key.name)
        key.folderEnd = slash; // the last part is the file: the folder ends before it
    else
        key.folderEnd = key.path.size();

    const QDateTime when = headers.value(IResolver::Timestamp).toDateTime();
    if (when.isValid()) {
        const QDate date = when.date();
        key.year = date.year();
        key.month = date.month();
        key.day = date.day();
        key.msecs = when.toMSecsSinceEpoch();
    }
    key.rating = headers.value(IResolver::Rating).toInt();
    return key;
}

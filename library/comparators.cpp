#include "library/comparators.h"

namespace Comparators {

namespace {

int sign(int value)
{
    return value < 0 ? -1 : (value > 0 ? 1 : 0);
}

int compareText(QStringView a, QStringView b)
{
    return sign(a.compare(b, Qt::CaseSensitive));
}

// Folder lists compared part by part, a list that begins another one sorting first. The
// same as comparing the folder texts with "/" below every other character.
int compareFolders(const FileKey& a, const FileKey& b)
{
    if (a.folderEnd < 0 || b.folderEnd < 0) {
        if (a.folderEnd < 0 && b.folderEnd < 0)
            return 0;
        return a.folderEnd < 0 ? -1 : 1;
    }
    const QStringView fa = a.folder();
    const QStringView fb = b.folder();
    const int n = int(qMin(fa.size(), fb.size()));
    for (int i = 0; i < n; ++i) {
        const QChar ca = fa.at(i);
        const QChar cb = fb.at(i);
        if (ca == cb)
            continue;
        if (ca == QLatin1Char('/'))
            return -1;
        if (cb == QLatin1Char('/'))
            return 1;
        return ca.unicode() < cb.unicode() ? -1 : 1;
    }
    if (fa.size() == fb.size())
        return 0;
    return fa.size() < fb.size() ? -1 : 1;
}

template <typename Inner> int nameChain(const FileKey& a, const FileKey& b, Inner inner)
{
    if (a.url == b.url)
        return 0;
    if (const int c = inner(a, b))
        return c;
    if (const int c = compareText(a.name, b.name))
        return c;
    return compareText(a.url, b.url);
}

} // namespace

int byUrl(const FileKey& a, const FileKey& b)
{
    return compareText(a.url, b.url);
}

int byDate(const FileKey& a, const FileKey& b)
{
    if (a.year != b.year)
        return a.year < b.year ? -1 : 1;
    if (a.month != b.month)
        return a.month < b.month ? -1 : 1;
    if (a.day != b.day)
        return a.day < b.day ? -1 : 1;
    if (a.msecs != b.msecs)
        return a.msecs < b.msecs ? -1 : 1;
    return 0;
}

int byTimestamp(const FileKey& a, const FileKey& b)
{
    return nameChain(a, b, byDate);
}

int byRating(const FileKey& a, const FileKey& b)
{
    if (a.url == b.url)
        return 0;
    if (a.rating != b.rating)
        return a.rating < b.rating ? -1 : 1;
    return nameChain(a, b, byDate);
}

int byFolder(const FileKey& a, const FileKey& b)
{
    if (a.url == b.url)
        return 0;
    if (const int c = compareFolders(a, b))
        return c;
    if (const int c = compareText(a.pathName(), b.pathName()))
        return c;
    return compareText(a.url, b.url);
}

namespace {

template <typename Unit> TextPrefix packUnits(int offset, Unit unit)
{
    TextPrefix prefix { 0, 0, 0 };
    for (int field = 0; field < 3; ++field) {
        qint64 value = 0;
        for (int i = 0; i < 3; ++i)
            value = value * kUnitBase + unit(offset + field * 3 + i);
        prefix[size_t(field)] = value;
    }
    return prefix;
}

} // namespace

TextPrefix urlPrefix(const FileKey& key, int offset)
{
    const QString& url = key.url;
    return packUnits(
        offset, [&](int i) -> qint64 { return i < url.size() ? qint64(url.at(i).unicode()) + 1 : 0; });
}

TextPrefix folderPrefix(const FileKey& key, int offset)
{
    if (key.folderEnd < 0)
        return { 0, 0, 0 };
    const QStringView name = key.pathName();
    return packUnits(offset, [&](int i) -> qint64 {
        if (i < key.folderEnd) {
            const ushort c = key.path.at(i).unicode();
            return c == '/' ? 2 : qint64(c) + 3;
        }
        if (i == key.folderEnd)
            return 1;
        const int at = i - key.folderEnd - 1;
        return at < name.size() ? qint64(name.at(at).unicode()) + 3 : 0;
    });
}

QList<QVariant> nullKey(const FileKey&)
{
    return { QVariant() };
}

QList<QVariant> dayKey(const FileKey& key)
{
    return { key.year, key.month, key.day };
}

QList<QVariant> ratingKey(const FileKey& key)
{
    return { key.rating };
}

QList<QVariant> folderKey(const FileKey& key)
{
    QList<QVariant> parts;
    if (key.folderEnd < 0)
        return parts;
    const QStringList split = key.folder().toString().split(QLatin1Char('/'));
    for (const QString& part : split)
        parts.append(part);
    return parts;
}

} // namespace Comparators

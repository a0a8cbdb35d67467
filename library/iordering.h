#pragma once

#include <QList>
#include <QMetaType>
#include <QPair>
#include <QUrl>
#include <QVariant>

class IResolver;

// The order of a gallery's files and their section keys. Every operation reads the files'
// header values through the resolver it is given.
class IOrdering
{
public:
    // Rows [first, end) of the sorted list whose files compare equal to the URL: at most
    // the URL's own row, since only equal URLs compare equal.
    virtual QPair<int, int> equalRange(const QList<QUrl>& list, const QUrl& url, IResolver* resolver) = 0;
    // The row at which the URL belongs, or -1 when that row already holds it.
    virtual int insertionRow(const QList<QUrl>& list, const QUrl& url, IResolver* resolver) = 0;
    virtual void sort(QList<QUrl>& list, IResolver* resolver) = 0;
    // The file's section key path.
    virtual QList<QVariant> keys(const QUrl& url, IResolver* resolver) = 0;
    virtual ~IOrdering() = default;
};

Q_DECLARE_METATYPE(IOrdering*)

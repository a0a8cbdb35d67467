#include "core/variantless.h"

#include <QByteArray>
#include <QDataStream>
#include <QUrl>

#include <cmath>

namespace {

enum Category { Null, Number, Text, Other };

Category categoryOf(const QVariant& v)
{
    if (!v.isValid() || v.isNull())
        return Null;
    switch (v.userType()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Double:
    case QMetaType::Float:
        return Number;
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::QUrl:
        return Text;
    default:
        return Other;
    }
}

bool isFloating(const QVariant& v)
{
    return v.userType() == QMetaType::Double || v.userType() == QMetaType::Float;
}

bool isUnsignedHuge(const QVariant& v)
{
    return (v.userType() == QMetaType::ULongLong || v.userType() == QMetaType::ULong)
        && v.toULongLong() > quint64(std::numeric_limits<qint64>::max());
}

// -1, 0 or 1.
int compareNumbers(const QVariant& a, const QVariant& b)
{
    if (isFloating(a) || isFloating(b)) {
        const double x = a.toDouble();
        const double y = b.toDouble();
        // NaN sorts after every number and equals itself, keeping the order strict.
        const bool xn = std::isnan(x);
        const bool yn = std::isnan(y);
        if (xn || yn)
            return xn == yn ? 0 : (xn ? 1 : -1);
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    const bool ah = isUnsignedHuge(a);
    const bool bh = isUnsignedHuge(b);
    if (ah || bh) {
        if (ah && bh) {
            const quint64 x = a.toULongLong();
            const quint64 y = b.toULongLong();
            return x < y ? -1 : (y < x ? 1 : 0);
        }
        return ah ? 1 : -1;
    }
    const qint64 x = a.toLongLong();
    const qint64 y = b.toLongLong();
    return x < y ? -1 : (y < x ? 1 : 0);
}

QString textOf(const QVariant& v)
{
    if (v.userType() == QMetaType::QUrl)
        return v.toUrl().toString(QUrl::FullyEncoded);
    return v.toString();
}

QByteArray streamed(const QVariant& v)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << v;
    return bytes;
}

} // namespace

bool VariantLess::operator()(const QVariant& a, const QVariant& b) const
{
    const Category ca = categoryOf(a);
    const Category cb = categoryOf(b);
    if (ca != cb)
        return ca < cb;
    switch (ca) {
    case Null:
        return false;
    case Number:
        return compareNumbers(a, b) < 0;
    case Text: {
        const int c = textOf(a).compare(textOf(b));
        if (c != 0)
            return c < 0;
        // Same text in different types (a string and a URL) are different keys.
        return a.userType() < b.userType();
    }
    case Other:
        break;
    }
    if (a.userType() != b.userType())
        return a.userType() < b.userType();
    return streamed(a) < streamed(b);
}

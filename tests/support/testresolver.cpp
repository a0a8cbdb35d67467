#include "support/testresolver.h"

#include <QDateTime>
#include <QFileInfo>

namespace ostra::test {

TestResolver::TestResolver(QObject* parent)
    : IResolver(parent)
    , m_roleNames(IResolver::imageRoleNames())
{ }

QMap<int, QVariant> TestResolver::rowFor(QUrl location)
{
    ++m_requests[location];
    auto it = m_rows.find(location);
    if (it != m_rows.end())
        return it.value();
    if (m_maker && !location.isEmpty()) {
        const QMap<int, QVariant> row = m_maker(location);
        m_rows.insert(location, row);
        return row;
    }
    return {};
}

void TestResolver::setRow(const QUrl& url, const QMap<int, QVariant>& row)
{
    auto it = m_rows.find(url);
    if (it != m_rows.end() && it.value() == row)
        return;
    if (it != m_rows.end() && !it.value().isEmpty())
        emit modified(url);
    m_rows.insert(url, row);
    emit resolved(url);
}

void TestResolver::setValue(const QUrl& url, int role, const QVariant& value)
{
    QMap<int, QVariant> row = m_rows.value(url);
    row.insert(role, value);
    setRow(url, row);
}

void TestResolver::setRowSilently(const QUrl& url, const QMap<int, QVariant>& row)
{
    m_rows.insert(url, row);
}

QMap<int, QVariant> TestResolver::imageRow(
    const QUrl& url, const QDateTime& when, int rating, int largeDim, int smallDim)
{
    QMap<int, QVariant> row;
    row.insert(Name, QFileInfo(url.toLocalFile()).baseName());
    row.insert(Timestamp, when.toString(Qt::ISODateWithMs));
    row.insert(Location, url.toString());
    row.insert(Rating, rating);
    row.insert(AspectWidth, double(largeDim) / 10.0);
    row.insert(AspectHeight, double(smallDim) / 10.0);
    row.insert(LargeDimension, largeDim);
    row.insert(SmallDimension, smallDim);
    row.insert(Invalid, false);
    return row;
}

} // namespace ostra::test

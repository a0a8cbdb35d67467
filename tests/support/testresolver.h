#pragma once

#include <QHash>
#include <QMap>
#include <QUrl>
#include <QVariant>

#include <functional>

#include "engine/iresolver.h"

namespace ostra::test {

// A resolver whose header rows the test sets. It keeps the image service's contract:
// `modified` before a non-empty row changes, `resolved` after a row is stored.
class TestResolver : public IResolver
{
    Q_OBJECT
public:
    using RowMaker = std::function<QMap<int, QVariant>(const QUrl&)>;

    explicit TestResolver(QObject* parent = nullptr);

    const QHash<int, QByteArray>& roleNames() const override { return m_roleNames; }
    // The stored row; with a row maker, an unknown file gets its row at once (silently,
    // as an image service that already knew the file).
    QMap<int, QVariant> rowFor(QUrl location) override;

    // Answer unknown files at once with rows from `maker` (null: leave them empty).
    void setRowMaker(RowMaker maker) { m_maker = std::move(maker); }

    // Stores a row and announces it as the image service does.
    void setRow(const QUrl& url, const QMap<int, QVariant>& row);
    void setValue(const QUrl& url, int role, const QVariant& value);
    // Changes a row without any signal (a change whose `modified` is still on its way).
    void setRowSilently(const QUrl& url, const QMap<int, QVariant>& row);

    int requestCount(const QUrl& url) const { return m_requests.value(url); }

    // A row with the given capture time and rating and fixed sizes.
    static QMap<int, QVariant> imageRow(
        const QUrl& url, const QDateTime& when, int rating, int largeDim = 4000, int smallDim = 3000);

private:
    QHash<int, QByteArray> m_roleNames;
    QHash<QUrl, QMap<int, QVariant>> m_rows;
    QHash<QUrl, int> m_requests;
    RowMaker m_maker;
};

} // namespace ostra::test

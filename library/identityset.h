#pragma once

#include <QList>
#include <QUrl>
#include <QtGlobal>

#include <vector>

// A set of URL identities (see urlIdentity) for telling many copies of many URLs apart at
// once: one flat table, no allocation per entry and no hashing of the URLs' text.
class IdentitySet
{
public:
    explicit IdentitySet(const QList<QUrl>& urls);

    bool contains(const QUrl& url) const;
    int size() const { return m_size; }

private:
    static quintptr mix(quintptr identity);

    std::vector<quintptr> m_slots; // 0: empty
    quintptr m_mask = 0;
    int m_size = 0;
};

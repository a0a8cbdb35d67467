#include "library/identityset.h"

#include "library/urlidentity.h"

IdentitySet::IdentitySet(const QList<QUrl>& urls)
{
    // At most half full: probes stay short.
    size_t capacity = 16;
    while (capacity < size_t(urls.size()) * 2)
        capacity *= 2;
    m_slots.assign(capacity, 0);
    m_mask = quintptr(capacity - 1);
    for (const QUrl& url : urls) {
        const quintptr identity = urlIdentity(url);
        if (identity == 0)
            continue;
        for (quintptr slot = mix(identity) & m_mask;; slot = (slot + 1) & m_mask) {
            if (m_slots[slot] == identity)
                break;
            if (m_slots[slot] == 0) {
                m_slots[slot] = identity;
                ++m_size;
                break;
            }
        }
    }
}

bool IdentitySet::contains(const QUrl& url) const
{
    const quintptr identity = urlIdentity(url);
    if (identity == 0)
        return false;
    for (quintptr slot = mix(identity) & m_mask;; slot = (slot + 1) & m_mask) {
        if (m_slots[slot] == identity)
            return true;
        if (m_slots[slot] == 0)
            return false;
    }
}

quintptr IdentitySet::mix(quintptr identity)
{
    // Addresses of allocations share their low bits: spread them over the table.
    quint64 x = quint64(identity);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return quintptr(x);
}

#pragma once

#include <QVariant>

// A strict weak order over QVariants, used to key maps by arbitrary values: null
// first, then numbers (compared by value, so 1 and 1LL are one key), then strings and
// URLs (by text), then every other type by its type id and its streamed bytes.
struct VariantLess
{
    bool operator()(const QVariant& a, const QVariant& b) const;
};

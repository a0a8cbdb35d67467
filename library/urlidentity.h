#pragma once

#include <QUrl>
#include <QtGlobal>

// Copies of a QUrl share one private value until one of them is changed. Its address tells
// copies of one URL apart from other URLs without hashing the URL's text, as long as some
// copy keeps the value alive. 0 for the empty URL.
inline quintptr urlIdentity(const QUrl& url)
{
    return quintptr(const_cast<QUrl&>(url).data_ptr());
}

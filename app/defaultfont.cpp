#include "app/defaultfont.h"

#include <QFont>

DefaultFont::DefaultFont(QObject* parent)
    : QObject(parent)
{ }

QString DefaultFont::name() const
{
    return QFont().defaultFamily();
}

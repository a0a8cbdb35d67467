#include "app/textloader.h"

#include "core/texthelpers.h"

TextLoader::TextLoader(QObject* parent)
    : QObject(parent)
{ }

void TextLoader::setPath(const QString& path)
{
    if (path == m_path)
        return;
    m_path = path;
    m_text = readTextFile(path);
    emit textChanged();
}

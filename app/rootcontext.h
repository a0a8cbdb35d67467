#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

class QQmlContext;

namespace ostra {

struct RootContextProperty
{
    QString name;
    QVariant value;
};

// The root-context properties in the order they are set; a name set twice takes its
// later value. The environment overrides "QA_E4A1772D_QUELT_RECENT",
// "QA_3B6C0F15_QUELT_TUNING", "QA_09F5B6C8_QUELT_UPDATE" and
// "QA_7D2E9A41_FORCE_UPDATE" are read from the process environment.
QVector<RootContextProperty> rootContextProperties(int channelOrder, bool useDefaultFonts);

void setRootContextProperties(QQmlContext* context, const QVector<RootContextProperty>& properties);

// Takes the option "--report" (open the report dialog at start) out of the command-line
// arguments; true when it was there.
bool takeReportOption(QStringList& arguments);

} // namespace ostra

#include "app/rootcontext.h"
#include "app/logging.h"

#include <QQmlContext>

namespace ostra {

namespace {
const char kRecent[] = "QA_E4A1772D_QUELT_RECENT";
const char kTuning[] = "QA_3B6C0F15_QUELT_TUNING";
const char kUpdate[] = "QA_09F5B6C8_QUELT_UPDATE";
const char kForceUpdate[] = "QA_7D2E9A41_FORCE_UPDATE";
} // namespace

QVector<RootContextProperty> rootContextProperties(int channelOrder, bool useDefaultFonts)
{
    QVector<RootContextProperty> result;
    result.append({ QStringLiteral("glChannelOrder"), channelOrder });
    result.append({ QStringLiteral("cpQueltRecent"), true });
    result.append({ QStringLiteral("noCustomFonts"), useDefaultFonts });
    result.append({ QStringLiteral("cpQueltTuning"), 1 });
    result.append({ QStringLiteral("cpQueltUpdate"),
        qEnvironmentVariableIsSet(kUpdate) ? qEnvironmentVariable(kUpdate) : QString() });

    bool ok = false;
    const int forceUpdate = qEnvironmentVariableIntValue(kForceUpdate, &ok);
    if (!qEnvironmentVariableIsSet(kForceUpdate))
        result.append({ QStringLiteral("cpForceUpdate"), QVariant::fromValue<QObject*>(nullptr) });
    else if (ok && forceUpdate != 0)
        result.append({ QStringLiteral("cpForceUpdate"), forceUpdate });

    const int tuning = qEnvironmentVariableIntValue(kTuning, &ok);
    if (ok && (tuning == 0 || tuning == 1)) {
        qCDebug(lcApp, "%s = %d", kTuning, tuning);
        result.append({ QStringLiteral("cpQueltTuning"), tuning });
    }
    const int recent = qEnvironmentVariableIntValue(kRecent, &ok);
    if (ok) {
        qCDebug(lcApp, "%s = %d", kRecent, recent);
        result.append({ QStringLiteral("cpQueltRecent"), recent });
    }

    const bool custom = qEnvironmentVariableIsSet(kRecent) || qEnvironmentVariableIsSet(kTuning)
        || qEnvironmentVariableIsSet(kUpdate) || qEnvironmentVariableIsSet(kForceUpdate);
    result.append({ QStringLiteral("cpQueltCustom"), custom });
    return result;
}

void setRootContextProperties(QQmlContext* context, const QVector<RootContextProperty>& properties)
{
    for (const RootContextProperty& property : properties)
        context->setContextProperty(property.name, property.value);
}

bool takeReportOption(QStringList& arguments)
{
    return arguments.removeAll(QStringLiteral("--report")) > 0;
}

} // namespace ostra

#include "reports/commoninfo.h"

#include <QJsonArray>
#include <QMetaEnum>
#include <QMetaProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QStorageInfo>
#include <QSysInfo>

#include "core/appsettings.h"

namespace CommonInfo {

namespace {

QJsonObject sysInfo()
{
    return {
        { "buildAbi", QSysInfo::buildAbi() },
        { "buildCpuArchitecture", QSysInfo::buildCpuArchitecture() },
        { "currentCpuArchitecture", QSysInfo::currentCpuArchitecture() },
        { "kernelType", QSysInfo::kernelType() },
        { "kernelVersion", QSysInfo::kernelVersion() },
        { "productType", QSysInfo::productType() },
        { "productVersion", QSysInfo::productVersion() },
        { "prettyProductName", QSysInfo::prettyProductName() },
    };
}

QJsonArray storage()
{
    QJsonArray volumes;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        volumes.append(QJsonObject {
            { "device",
                QJsonObject { { "rootPath", volume.rootPath() },
                    { "device", QString::fromLocal8Bit(volume.device()) },
                    { "subvolume", QString::fromLocal8Bit(volume.subvolume()) },
                    { "fileSystemType", QString::fromLocal8Bit(volume.fileSystemType()) },
                    { "name", volume.name() }, { "displayName", volume.displayName() } } },
            { "stat",
                QJsonObject { { "bytesTotal", volume.bytesTotal() },
                    { "bytesAvailable", volume.bytesAvailable() }, { "bytesFree", volume.bytesFree() },
                    { "blockSize", volume.blockSize() } } },
            { "mode",
                QJsonObject { { "isRoot", volume.isRoot() }, { "isValid", volume.isValid() },
                    { "isReady", volume.isReady() }, { "isReadOnly", volume.isReadOnly() } } },
        });
    }
    return volumes;
}

QJsonObject userConfig()
{
    QJsonObject config;
    if (AppSettings* settings = AppSettings::instance()) {
        for (const QString& key : settings->allKeys())
            config.insert(key, QJsonValue::fromVariant(settings->value(key)));
    }
    return config;
}

QJsonObject screenFacts(QScreen* screen)
{
    QJsonObject facts;
    const QMetaObject* meta = screen->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        facts.insert(QLatin1String(property.name()), QJsonValue::fromVariant(property.read(screen)));
    }
    return facts;
}

} // namespace

QJsonObject build(const QJsonObject& guiFacts)
{
    return {
        { "sysInfo", sysInfo() },
        { "envVars", environment(QProcessEnvironment::systemEnvironment()) },
        { "storage", storage() },
        { "guiInfo", guiFacts },
        { "userCfg", userConfig() },
    };
}

QJsonObject environment(const QProcessEnvironment& environment)
{
    static const char* const sensitive[]
        = { "TOKEN", "SECRET", "PASSWORD", "PASSWD", "KEY", "CREDENTIAL", "AUTH" };
    QJsonObject variables;
    for (const QString& name : environment.keys()) {
        bool hidden = false;
        for (const char* word : sensitive)
            hidden = hidden || name.contains(QLatin1String(word), Qt::CaseInsensitive);
        variables.insert(name, hidden ? QStringLiteral("(hidden)") : environment.value(name));
    }
    return variables;
}

QJsonObject guiFacts(QQuickItem* item)
{
    QQuickWindow* window = item ? item->window() : nullptr;
    if (!window)
        return {};
    QJsonArray screens;
    if (QScreen* own = window->screen()) {
        QList<QScreen*> siblings = own->virtualSiblings();
        if (!siblings.contains(own))
            siblings.prepend(own);
        for (QScreen* screen : siblings)
            screens.append(screenFacts(screen));
    }

    const QSurfaceFormat format = window->format();
    QJsonArray options;
    const QMetaEnum optionEnum = QMetaEnum::fromType<QSurfaceFormat::FormatOption>();
    for (int i = 0; i < optionEnum.keyCount(); ++i) {
        if (format.testOption(QSurfaceFormat::FormatOption(optionEnum.value(i))))
            options.append(QLatin1String(optionEnum.key(i)));
    }
    const QJsonObject surface {
        { "buffers",
            QJsonObject { { "r", format.redBufferSize() }, { "g", format.greenBufferSize() },
                { "b", format.blueBufferSize() }, { "a", format.alphaBufferSize() },
                { "d", format.depthBufferSize() }, { "s", format.stencilBufferSize() } } },
        { "version", QJsonArray { format.majorVersion(), format.minorVersion() } },
        { "options", options },
        { "samples", format.samples() },
        { "swapInterval", format.swapInterval() },
        { "swapBehavior", int(format.swapBehavior()) },
        { "openGLProfile", int(format.profile()) },
        { "renderableType", int(format.renderableType()) },
        { "colorSpace", int(format.colorSpace()) },
    };
    return { { "screens", screens }, { "surfaceFormat", surface } };
}

} // namespace CommonInfo

// The patch and preset dialogs under Qt Quick Test, over a real preset folder.
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QtQuickTest>

#include "app/typeregistration.h"
#include "core/appsettings.h"
#include "engine/imageproperties.h"
#include "engine/presetfolder.h"
#include "support/presetfiles.h"
#include "support/testenvironment.h"

namespace {

// The preset folder as the test sees it: files dropped in, and what the files say.
class Fixture : public QObject
{
    Q_OBJECT
public:
    QTemporaryDir dir;
    PresetFolder* folder = nullptr;

    Q_INVOKABLE void clear()
    {
        for (ImageProperties* preset : folder->presetList())
            folder->removePreset(preset);
    }
    // A preset file made a little later than the one before.
    Q_INVOKABLE void drop(const QString& fileName, const QString& name)
    {
        ostra::test::dropPreset(
            folder->folder() + "/" + fileName, name, 1000000000.0 + 1000 * folder->presetList().size());
        folder->rescan();
    }
    Q_INVOKABLE QStringList onDisk() const { return ostra::test::presetsOnDisk(folder->folder()); }
    // The members a patch document holds: tone names, then geometry keys.
    Q_INVOKABLE QStringList patchKeys(QObject* properties) const
    {
        const QJsonObject top
            = QJsonDocument::fromJson(qobject_cast<ImageProperties*>(properties)->savePatch()).object();
        return top.value("colormetrics").toObject().keys() + top.value("geometry").toObject().keys();
    }
};

class Setup : public QObject
{
    Q_OBJECT
public slots:
    void applicationAvailable()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        m_settings = new AppSettings(this);
        m_fixture.folder = new PresetFolder(m_fixture.dir.filePath("Presets"), this);
        m_settings->setPresetKeeper(m_fixture.folder);
    }
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        engine->rootContext()->setContextProperty(QStringLiteral("fixture"), &m_fixture);
    }

private:
    AppSettings* m_settings = nullptr;
    Fixture m_fixture;
};

} // namespace

int main(int argc, char** argv)
{
    ostra::test::TestEnvironment environment;
    Setup setup;
    const QByteArray dir
        = QFile::encodeName(ostra::test::sourceDir() + QStringLiteral("/tests/app/patchdialogs"));
    return quick_test_main_with_setup(argc, argv, "patchdialogs", dir.constData(), &setup);
}

#include "tst_patchdialogs.moc"

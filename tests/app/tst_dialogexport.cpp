#include <QDir>
#include <QFileInfo>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QtQuickTest>

#include "app/typeregistration.h"
#include "core/resources.h"
#include "support/picturefiles.h"
#include "support/testenvironment.h"

// Runs the export dialog's Qt Quick tests (tests/app/dialogexport) against the real image
// service, with two generated pictures of one base name in two folders.
class Fixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl first MEMBER m_first CONSTANT)
    Q_PROPERTY(QUrl second MEMBER m_second CONSTANT)
public:
    Fixture()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("a"));
        QDir(m_dir.path()).mkpath(QStringLiteral("b"));
        using ostra::test::PictureFiles;
        m_first = QUrl::fromLocalFile(
            PictureFiles::write(m_dir.filePath("a"), "IMG.7.vrx", PictureFiles::small(1)));
        m_second = QUrl::fromLocalFile(
            PictureFiles::write(m_dir.filePath("b"), "IMG.7.vrx", PictureFiles::small(2)));
    }
    // A new, empty folder for one test's exports.
    Q_INVOKABLE QUrl folder(const QString& name) { return QUrl::fromLocalFile(m_dir.filePath(name)); }
    // The names of the non-empty files in a folder.
    Q_INVOKABLE QStringList written(const QUrl& folder) const
    {
        QStringList names;
        for (const QFileInfo& info : QDir(folder.toLocalFile()).entryInfoList(QDir::Files, QDir::Name)) {
            if (info.size() > 0)
                names << info.fileName();
        }
        return names;
    }

private:
    QTemporaryDir m_dir;
    QUrl m_first;
    QUrl m_second;
};

class Setup : public QObject
{
    Q_OBJECT
public slots:
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        ostra::initResources();
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        engine->rootContext()->setContextProperty(QStringLiteral("fixture"), &m_fixture);
    }

private:
    Fixture m_fixture;
};

int main(int argc, char** argv)
{
    ostra::test::TestEnvironment environment;
    Setup setup;
    return quick_test_main_with_setup(argc, argv, "dialogexport", QUICK_TEST_SOURCE_DIR, &setup);
}

#include "tst_dialogexport.moc"

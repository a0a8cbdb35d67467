#include "support/filetree.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/freedesktoptrash.h"

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Plays a trash that puts files somewhere they should not go, as a faulty trash
// implementation would.
class StrayMover : public ITrashMover
{
public:
    QString folder; // where the file is put
    QString reportPrefix; // what is reported as its new folder
    bool moveToTrash(const QString& path, QString* pathInTrash) override
    {
        const QString name = QFileInfo(path).fileName();
        QDir().mkpath(folder + QStringLiteral("/files"));
        QDir().mkpath(folder + QStringLiteral("/info"));
        if (!QFile::rename(path, folder + QStringLiteral("/files/") + name))
            return false;
        ostra::test::writeTreeFile(
            folder + QStringLiteral("/info/") + name + QStringLiteral(".trashinfo"), "[Trash Info]\n");
        *pathInTrash = reportPrefix + QStringLiteral("/files/") + name;
        return true;
    }
};

} // namespace

class TestFreedesktopTrash : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_work;
    QString m_savedCwd;
    QString m_dataHome;
    int m_round = 0;

    QString workingFolder() const { return m_work.filePath(QStringLiteral("cwd")); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        QVERIFY(QDir().mkpath(workingFolder()));
        m_savedCwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workingFolder()));
    }

    void init()
    {
        // A data folder that does not exist yet, as on a fresh account.
        m_dataHome = m_work.filePath(QStringLiteral("fresh-%1/share").arg(++m_round));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome));
    }

    void cleanup()
    {
        // Whatever happened, nothing may have landed in the working folder.
        QVERIFY2(QDir(workingFolder()).isEmpty(),
            qPrintable(QDir(workingFolder())
                           .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                           .join(QLatin1Char(' '))));
    }

    void cleanupTestCase() { QDir::setCurrent(m_savedCwd); }

    void movesIntoAFreshHomeTrash()
    {
        const QString file = QDir::home().filePath(QStringLiteral("picture.vrx"));
        QVERIFY(ostra::test::writeTreeFile(file, "pixels"));
        FreedesktopTrash trash;
        QVERIFY(trash.moveToTrash(file));
        QVERIFY(!QFileInfo::exists(file));
        const QString trashed = m_dataHome + QStringLiteral("/Trash/files/picture.vrx");
        QCOMPARE(readFile(trashed), QByteArray("pixels"));
        QVERIFY(QFileInfo::exists(m_dataHome + QStringLiteral("/Trash/info/picture.vrx.trashinfo")));
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(m_dataHome + QStringLiteral("/Trash")).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 0777), 0700);
        QVERIFY(::stat(QFile::encodeName(m_dataHome).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 0777), 0700);
    }

    void sameNameTwiceKeepsBoth()
    {
        const QString file = QDir::home().filePath(QStringLiteral("twin.vrx"));
        FreedesktopTrash trash;
        QVERIFY(ostra::test::writeTreeFile(file, "first"));
        QVERIFY(trash.moveToTrash(file));
        QVERIFY(ostra::test::writeTreeFile(file, "second"));
        QVERIFY(trash.moveToTrash(file));
        const QDir files(m_dataHome + QStringLiteral("/Trash/files"));
        QCOMPARE(files.entryList(QDir::Files).size(), 2);
    }

    void strayMoveIsUndone_data()
    {
        QTest::addColumn<bool>("relative");
        QTest::newRow("relative destination") << true;
        QTest::newRow("absolute non-trash destination") << false;
    }

    void strayMoveIsUndone()
    {
        QFETCH(bool, relative);
        const QString file = QDir::home().filePath(QStringLiteral("stray.vrx"));
        QVERIFY(ostra::test::writeTreeFile(file, "precious"));
        StrayMover mover;
        mover.folder = relative ? workingFolder() : m_work.filePath(QStringLiteral("elsewhere"));
        mover.reportPrefix = relative ? QStringLiteral(".") : mover.folder;
        FreedesktopTrash trash(mover);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("moving it back")));
        QVERIFY(!trash.moveToTrash(file));
        QCOMPARE(readFile(file), QByteArray("precious"));
        QVERIFY(!QFileInfo::exists(mover.folder + QStringLiteral("/info/stray.vrx.trashinfo")));
        // The empty folders the stray trash made are not ours to judge; remove them.
        QDir(mover.folder + QStringLiteral("/files")).removeRecursively();
        QDir(mover.folder + QStringLiteral("/info")).removeRecursively();
    }
};

OSTRA_TEST_MAIN_CORE(TestFreedesktopTrash)
#include "tst_freedesktoptrash.moc"

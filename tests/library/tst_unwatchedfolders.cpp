#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "library/root.h"
#include "support/testmain.h"

namespace {

// A Root on a system that refuses every watch (past its limit on watches).
class UnwatchedRoot : public Root
{
public:
    using Root::Root;

protected:
    bool watchDirectory(const QString&) override { return false; }
    void unwatchDirectory(const QString&) override { }
};

bool touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

} // namespace

class TestUnwatchedFolders : public QObject
{
    Q_OBJECT

private slots:
    // Folders the system would not watch are read again on a timer: files that appear or
    // go, in the folder and below it, are still announced.
    void readAgainOnTimer()
    {
        QTemporaryDir dir;
        QVERIFY(touch(dir.filePath("a.vrx")));
        QVERIFY(touch(dir.filePath("sub/b.vrx")));
        UnwatchedRoot root(nullptr, dir.path(), true, true, { "*.vrx" }, true);
        root.setRescanInterval(50);
        QSignalSpy added(&root, &Root::addFile);
        QSignalSpy removed(&root, &Root::delFile);
        root.setActive(true);
        QCOMPARE(added.count(), 2);

        QVERIFY(touch(dir.filePath("sub/c.vrx")));
        QVERIFY(touch(dir.filePath("sub/deeper/d.vrx")));
        QVERIFY(QFile::remove(dir.filePath("a.vrx")));
        QTRY_COMPARE(added.count(), 4);
        QTRY_COMPARE(removed.count(), 1);
        QCOMPARE(removed.at(0).at(0).toString(), dir.filePath("a.vrx"));

        // Stopped, it reads nothing more.
        root.setActive(false);
        added.clear();
        QVERIFY(touch(dir.filePath("e.vrx")));
        QTest::qWait(200);
        QCOMPARE(added.count(), 0);
    }
};

OSTRA_TEST_MAIN_CORE(TestUnwatchedFolders)
#include "tst_unwatchedfolders.moc"

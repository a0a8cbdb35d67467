#include "support/filetree.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>

#include "core/fileservices.h"

class TestFileServices : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;

private slots:
    void recycleBinTakesWhatItCan()
    {
        QVERIFY(m_dir.isValid());
        const QString a = m_dir.filePath(QStringLiteral("a.vrx"));
        const QString b = m_dir.filePath(QStringLiteral("b.vrxs"));
        QVERIFY(ostra::test::writeTreeFile(a, "a"));
        QVERIFY(ostra::test::writeTreeFile(b, "b"));
        const QList<QUrl> urls = { QUrl::fromLocalFile(a),
            QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("gone"))), QUrl::fromLocalFile(b) };
        QVERIFY(!deleteToRecycleBin(urls));
        QVERIFY(!QFileInfo::exists(a));
        QVERIFY(!QFileInfo::exists(b));
        const QDir files(qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Trash/files"));
        QVERIFY(files.exists(QStringLiteral("a.vrx")));
        QVERIFY(files.exists(QStringLiteral("b.vrxs")));

        QVERIFY(deleteToRecycleBin(QList<QUrl>()));
        QVERIFY(!deleteToRecycleBin(QUrl(QStringLiteral("https://example.invalid/a.vrx"))));
        QVERIFY(!deleteToRecycleBin(QUrl()));
        const QString c = m_dir.filePath(QStringLiteral("c.vrx"));
        QVERIFY(ostra::test::writeTreeFile(c, "c"));
        QVERIFY(deleteToRecycleBin(QUrl::fromLocalFile(c)));
        QVERIFY(!QFileInfo::exists(c));
    }

    // An open file's buffers reach the disk; a closed file has none to flush.
    void flushNeedsAnOpenFile()
    {
        QFile file(m_dir.filePath(QStringLiteral("record")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("record body");
        QVERIFY(flushToDisk(file));
        file.close();
        QVERIFY(!flushToDisk(file));
    }
};

OSTRA_TEST_MAIN_CORE(TestFileServices)
#include "tst_fileservices.moc"

#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>

#include "core/fileservices.h"

namespace {
bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}
} // namespace

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
        QVERIFY(writeFile(a, "a"));
        QVERIFY(writeFile(b, "b"));
        const QList<QUrl> urls = { QUrl::fromLocalFile(a),
            QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("gone"))), QUrl::fromLocalFile(b) };
        QVERIFY(!deleteToRecycleBin(urls));
        QVERIFY(!QFileInfo::exists(a));
        QVERIFY(!QFileInfo::exists(b));
        const QDir files(qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Trash/files"));
        QVERIFY(files.exists(QStringLiteral("a.vrx")));
        QVERIFY(files.exists(QStringLiteral("b.vrxs")));
    }

    void recycleBinEdgeCases()
    {
        QVERIFY(deleteToRecycleBin(QList<QUrl>()));
        QVERIFY(!deleteToRecycleBin(QUrl(QStringLiteral("https://example.invalid/a.vrx"))));
        QVERIFY(!deleteToRecycleBin(QUrl()));
        const QString c = m_dir.filePath(QStringLiteral("c.vrx"));
        QVERIFY(writeFile(c, "c"));
        QVERIFY(deleteToRecycleBin(QUrl::fromLocalFile(c)));
        QVERIFY(!QFileInfo::exists(c));
    }

    void flushReachesTheFile()
    {
        const QString path = m_dir.filePath(QStringLiteral("record"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("record body");
        QVERIFY(flushToDisk(file));
        QFile reader(path);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        QCOMPARE(reader.readAll(), QByteArray("record body"));
        file.close();
        QVERIFY(!flushToDisk(file));
    }
};

OSTRA_TEST_MAIN_CORE(TestFileServices)
#include "tst_fileservices.moc"

// Edits kept in files of their own across a crash or a quit: read back exactly as written,
// and never mistaken for something else (damaged, foreign or misplaced files).
#include "support/filesizelimit.h"
#include "support/testmain.h"

#include "engine/iimageservice.h"
#include "engine/keptedits.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

UnsavedState editsOf(const QString& picture, const std::string& bytes, const StateStamp& over = StateStamp())
{
    return UnsavedState { StateFile::pathFor(QUrl::fromLocalFile(picture)), bytes, over, picture };
}

QUrl keyOf(const QString& picture)
{
    return IImageService::fileKey(QUrl::fromLocalFile(picture));
}

bool sameEdits(const UnsavedState& a, const UnsavedState& b)
{
    return a.statePath == b.statePath && a.bytes == b.bytes && a.madeOver == b.madeOver
        && a.picture == b.picture;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestKeptEdits : public QObject
{
    Q_OBJECT

private slots:
    // What is stored is what is loaded, under the picture's key, whatever its name and
    // state bytes hold; storing again replaces.
    void readBackAsWritten_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("overState");
        QTest::newRow("plain") << "IMG_0001.vrx" << QByteArray("state bytes") << false;
        QTest::newRow("over a state") << "IMG_0002.vrx" << QByteArray("more state") << true;
        QTest::newRow("odd name") << "späce #1 %20?.vrx" << QByteArray("x") << true;
        QTest::newRow("zeros and large") << "IMG.1.vrx" << QByteArray(3 * 1024 * 1024, '\0') << false;
    }
    void readBackAsWritten()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, overState);
        QTemporaryDir pictures;
        QTemporaryDir data;
        const QString picture = pictures.filePath(name);
        QVERIFY(writeAll(picture, "raw"));
        StateStamp over;
        if (overState) {
            QVERIFY(writeAll(StateFile::pathFor(QUrl::fromLocalFile(picture)), "old state"));
            over = StateStamp::of(StateFile::pathFor(QUrl::fromLocalFile(picture)));
        }
        const KeptEdits kept(data.path() + "/kept-edits");
        QVERIFY(kept.store(keyOf(picture), editsOf(picture, "first", over)));
        const UnsavedState edits
            = editsOf(picture, std::string(bytes.constData(), size_t(bytes.size())), over);
        QVERIFY(kept.store(keyOf(picture), edits));
        QVERIFY(kept.contains(keyOf(picture)));
        const auto loaded = KeptEdits(data.path() + "/kept-edits").load();
        QCOMPARE(loaded.size(), 1);
        QVERIFY(loaded.value(keyOf(picture)));
        QVERIFY(sameEdits(*loaded.value(keyOf(picture)), edits));
        // Only the one file: no temporary file is left behind.
        QCOMPARE(QDir(kept.folder()).entryList(QDir::Files | QDir::Hidden).size(), 1);
        kept.remove(keyOf(picture));
        QVERIFY(!kept.contains(keyOf(picture)));
        QVERIFY(kept.load().isEmpty());
    }

    // A file of the folder that is not one whole record of edits (cut short, damaged, of
    // another version, another picture's under a wrong name, not a file) is neither loaded
    // nor removed, and never waited on; the good ones beside it are loaded.
    void damagedOrForeignFilesAreLeftAlone_data()
    {
        QTest::addColumn<QString>("damage");
        for (const char* damage : { "cut short", "one byte changed", "empty", "another version", "random",
                 "under another name", "a folder", "a pipe" })
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }
    void damagedOrForeignFilesAreLeftAlone()
    {
        QFETCH(QString, damage);
        QTemporaryDir pictures;
        QTemporaryDir data;
        const KeptEdits kept(data.path());
        const QString good = pictures.filePath("IMG_0001.vrx");
        const QString other = pictures.filePath("IMG_0002.vrx");
        QVERIFY(kept.store(keyOf(good), editsOf(good, "good state")));
        QVERIFY(kept.store(keyOf(other), editsOf(other, std::string(300, 's'))));
        const QString path = kept.pathFor(keyOf(other));
        QByteArray bytes = readAll(path);
        QVERIFY(!bytes.isEmpty());
        QString target = path;
        if (damage == "cut short") {
            bytes.chop(1);
        } else if (damage == "one byte changed") {
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x20);
        } else if (damage == "empty") {
            bytes.clear();
        } else if (damage == "another version") {
            bytes[5] = char(bytes[5] + 1); // the version follows the four bytes of the mark
        } else if (damage == "random") {
            QRandomGenerator random(42);
            for (char& c : bytes)
                c = char(random.bounded(256));
        } else if (damage == "under another name") {
            target = kept.pathFor(QUrl::fromLocalFile(pictures.filePath("IMG_0003.vrx")));
        }
        QVERIFY(QFile::remove(path));
        if (damage == "a folder")
            QVERIFY(QDir().mkpath(path));
        else if (damage == "a pipe") // opening it to read would wait for a writer
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            QVERIFY(writeAll(target, bytes));
        const auto loaded = kept.load();
        QCOMPARE(loaded.keys(), QList<QUrl> { keyOf(good) });
        QVERIFY(sameEdits(*loaded.value(keyOf(good)), editsOf(good, "good state")));
        QVERIFY(QFileInfo::exists(target));
    }

    // A write cut short by a crash before its rename leaves a temporary file beside the
    // kept ones: it is no kept edit, and goes; the edits kept before it stay as they were.
    void unfinishedWriteGoes()
    {
        QTemporaryDir pictures;
        QTemporaryDir data;
        const KeptEdits kept(data.path());
        const QString picture = pictures.filePath("IMG_0001.vrx");
        QVERIFY(kept.store(keyOf(picture), editsOf(picture, "older")));
        const QString path = kept.pathFor(keyOf(picture));
        const QByteArray whole = readAll(path);
        QVERIFY(writeAll(path + ".a1B2c3", whole.left(whole.size() / 2)));
        QVERIFY(writeAll(path + ".Zz9yY8", whole));
        // One being written right now, by another instance that is still quitting, stays.
        QVERIFY(writeAll(path + ".Nw0rit", whole.left(8)));
        for (const char* left : { ".a1B2c3", ".Zz9yY8" }) {
            QFile old(path + left);
            QVERIFY(old.open(QIODevice::ReadWrite));
            QVERIFY(old.setFileTime(
                QDateTime::currentDateTimeUtc().addSecs(-3600), QFileDevice::FileModificationTime));
        }
        const auto loaded = kept.load();
        QCOMPARE(loaded.size(), 1);
        QVERIFY(sameEdits(*loaded.value(keyOf(picture)), editsOf(picture, "older")));
        QCOMPARE(QDir(data.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
            (QStringList { QFileInfo(path).fileName(), QFileInfo(path).fileName() + ".Nw0rit" }));
    }

    // Edits that cannot be written whole (the disk fills up in the middle) leave nothing
    // for the picture: not a cut-off file, and not the older edits kept before them.
    void failedStoreLeavesNothing()
    {
        QTemporaryDir pictures;
        QTemporaryDir data;
        const KeptEdits kept(data.path());
        const QString picture = pictures.filePath("IMG_0001.vrx");
        QVERIFY(kept.store(keyOf(picture), editsOf(picture, "older")));
        {
            ostra::test::FileSizeLimit full(64);
            QVERIFY(!kept.store(keyOf(picture), editsOf(picture, std::string(4096, 'n'))));
        }
        QVERIFY(!kept.contains(keyOf(picture)));
        QVERIFY(kept.load().isEmpty());
        QCOMPARE(QDir(data.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        // No folder to be had: nothing kept, nothing thrown.
        QVERIFY(writeAll(data.filePath("a file"), "x"));
        const KeptEdits nowhere(data.filePath("a file") + "/kept");
        QVERIFY(!nowhere.store(keyOf(picture), editsOf(picture, "edits")));
        QVERIFY(nowhere.load().isEmpty());
    }

    // Pictures kept and let go from several threads at once: each file is whole, and the
    // folder holds exactly the ones still kept.
    void manyPicturesAtOnce()
    {
        QTemporaryDir pictures;
        QTemporaryDir data;
        const KeptEdits kept(data.path());
        constexpr int kThreads = 6;
        constexpr int kEach = 20;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i) {
                    const QString picture = pictures.filePath(QStringLiteral("IMG_%1_%2.vrx").arg(t).arg(i));
                    kept.store(keyOf(picture), editsOf(picture, std::string(size_t(100 + i), char('a' + t))));
                    if (i % 2)
                        kept.remove(keyOf(picture));
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        const auto loaded = kept.load();
        QCOMPARE(loaded.size(), kThreads * kEach / 2);
        for (int t = 0; t < kThreads; ++t) {
            for (int i = 0; i < kEach; i += 2) {
                const QString picture = pictures.filePath(QStringLiteral("IMG_%1_%2.vrx").arg(t).arg(i));
                QVERIFY(loaded.value(keyOf(picture)));
                QCOMPARE(loaded.value(keyOf(picture))->bytes, std::string(size_t(100 + i), char('a' + t)));
            }
        }
        QCOMPARE(QDir(data.path()).entryList(QDir::Files | QDir::Hidden).size(), loaded.size());
    }
};

OSTRA_TEST_MAIN_CORE(TestKeptEdits)
#include "tst_keptedits.moc"

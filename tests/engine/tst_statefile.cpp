#include "support/filebytes.h"
#include "support/testmain.h"

#include "support/filesizelimit.h"
#include "support/filetree.h"

#include "ciapi/state/statecodec.h"
#include "ciapi/statefileeditor.h"
#include "engine/statefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtConcurrent>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using ostra::test::fileBytes;

namespace {

QByteArray content(int size, char seed)
{
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        b[i] = char(seed + i % 97);
    return b;
}

StateFile::Writer writerOf(const QByteArray& bytes)
{
    return [bytes](std::ostream& out) { out.write(bytes.constData(), bytes.size()); };
}

// Runs the state writer helper program to its end: its exit code, -1 after a crash, -2 if it hangs.
int runHelper(const QStringList& args)
{
    QProcess child;
    child.start(ostra::test::binaryDir() + QStringLiteral("/tests/engine/engine_statewriter"), args);
    if (!child.waitForFinished(60000))
        return -2;
    return child.exitStatus() == QProcess::CrashExit ? -1 : child.exitCode();
}

// The whole state file as StateFile::read hands it out.
bool readState(const QString& path, QByteArray& seen, StateStamp& stamp)
{
    return StateFile::read(
        path,
        [&](std::istream& in) {
            std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            seen = QByteArray(s.data(), int(s.size()));
        },
        stamp);
}

// Reads the state file as the engine does and gives its rating.
int ratingIn(const QString& path)
{
    std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
    CIAPI::StateFileEditor editor(in);
    return editor.userRating();
}

// A whole state record of picture 1-2-3-4 with a rating.
QByteArray stateBytes(int rating)
{
    CIAPI::state::EngineState s;
    s.imageId = CIAPI::vrx::UuidWords { 1, 2, 3, 4 };
    s.rating = rating;
    const auto bytes = CIAPI::state::StateCodec::write(s);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
}

} // namespace

class TestStateFile : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_raw = QUrl::fromLocalFile(m_dir.path() + "/IMG.1.vrx");
        m_state = StateFile::pathFor(m_raw);
        QVERIFY(ostra::test::writeTreeFile(m_raw.toLocalFile(), "a picture"));
        QFile::remove(m_state);
        QFile::remove(StateFile::backupPath(m_state));
        for (const QString& name : QDir(m_dir.path()).entryList({ QStringLiteral("*.unreadable*") }))
            QFile::remove(m_dir.filePath(name));
    }

    void saveAndChangedBehindOurBack()
    {
        StateStamp stamp;
        QCOMPARE(save(stamp, content(500, 'a')), StateFile::Result::Saved);
        QCOMPARE(fileBytes(m_state), content(500, 'a'));
        QVERIFY(stamp.exists());
        QVERIFY(!QFile::exists(StateFile::backupPath(m_state)));
        QVERIFY(!QFile::exists(StateFile::lockPath(m_state)));

        // Our own stamp: the next save goes through.
        QCOMPARE(save(stamp, content(600, 'b')), StateFile::Result::Saved);

        // Another writer rewrites the file with the same size: not overwritten unforced.
        const StateStamp ours = stamp;
        StateFile::replace(m_state, writerOf(content(600, 'c')));
        QCOMPARE(save(stamp, content(700, 'd')), StateFile::Result::ChangedOnDisk);
        QCOMPARE(fileBytes(m_state), content(600, 'c'));
        QVERIFY(stamp == ours);
        QVERIFY(!QFile::exists(StateFile::backupPath(m_state)));
        // A forced save overwrites it.
        QCOMPARE(save(stamp, content(700, 'd'), true), StateFile::Result::Saved);
        QCOMPARE(fileBytes(m_state), content(700, 'd'));
    }

    // A pipe in the state file's place is neither backed up nor written over, and the save
    // says so at once instead of waiting for a writer to open the pipe.
    void pipeIsNoStateToSaveOver()
    {
        QCOMPARE(::mkfifo(QFile::encodeName(m_state).constData(), 0600), 0);
        StateStamp stamp;
        QFuture<StateFile::Result> saved
            = QtConcurrent::run([&] { return save(stamp, content(500, 'a'), true); });
        const bool ended = QTest::qWaitFor([&] { return saved.isFinished(); }, 20000);
        // Should it wait, every open of the pipe is let go (a writer comes and goes) before
        // the case fails.
        while (!saved.isFinished()) {
            const int fd = ::open(QFile::encodeName(m_state).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
            QThread::msleep(10);
        }
        QVERIFY2(ended, "the save waited on a pipe");
        QCOMPARE(saved.result(), StateFile::Result::Failed);
        QVERIFY(!QFileInfo(m_state).isFile());
        QVERIFY(!QFile::exists(StateFile::backupPath(m_state)));
        QFile::remove(m_state);
    }

    void failureMidwayKeepsTheOldBytes_data()
    {
        QTest::addColumn<int>("size"); // 0: the engine throws while serialising
        QTest::newRow("engine gives up") << 0;
        // Larger and smaller than any write buffer on the way.
        QTest::newRow("disk full, large") << 100000;
        QTest::newRow("disk full, small") << 9000;
    }

    // The engine failing half-way through serialising, or the disk refusing the new bytes
    // (a file-size limit stands in for a full disk), leaves the old bytes exactly, also with
    // a stale backup lying around; the next attempt works.
    void failureMidwayKeepsTheOldBytes()
    {
        QFETCH(int, size);
        StateStamp stamp;
        QCOMPARE(save(stamp, content(4000, 'g')), StateFile::Result::Saved);
        QVERIFY(ostra::test::writeTreeFile(StateFile::backupPath(m_state), content(77, 'z')));
        const StateStamp before = stamp;
        if (size == 0) {
            QString error;
            const auto result = StateFile::save(
                m_state, false, stamp,
                [](std::ostream& out) {
                    out.write("partial state", 13);
                    throw std::runtime_error("engine gave up");
                },
                &error);
            QCOMPARE(result, StateFile::Result::Failed);
            QCOMPARE(error, QStringLiteral("engine gave up"));
        } else {
            ostra::test::FileSizeLimit limit(6000);
            QCOMPARE(save(stamp, content(size, 'h')), StateFile::Result::Failed);
        }
        QCOMPARE(fileBytes(m_state), content(4000, 'g'));
        QVERIFY(stamp == before);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files),
            QStringList({ QStringLiteral("IMG.1.vrx"), QStringLiteral("IMG.1.vrxs") }));
        QCOMPARE(save(stamp, content(10, 'f')), StateFile::Result::Saved);
    }

    void deviceErrorOnSync_data()
    {
        QTest::addColumn<QString>("write");
        QTest::newRow("editor save") << "save";
        QTest::newRow("batch full write") << "replace";
        QTest::newRow("appended rating") << "append";
    }

    // The disk reports that the written bytes did not reach it (an input/output error when
    // they are synced): every kind of write fails and says why, and the state file keeps
    // its old bytes, alone in its folder.
    void deviceErrorOnSync()
    {
        QFETCH(QString, write);
        StateStamp stamp;
        QCOMPARE(save(stamp, stateBytes(2)), StateFile::Result::Saved);
        const QByteArray old = fileBytes(m_state);
        StateFile::setSync([](int) {
            errno = EIO;
            return -1;
        });
        struct Restore
        {
            ~Restore() { StateFile::setSync(nullptr); }
        } restore;
        QString error;
        try {
            if (write == QLatin1String("save")) {
                QCOMPARE(StateFile::save(m_state, false, stamp, writerOf(stateBytes(3)), &error),
                    StateFile::Result::Failed);
            } else if (write == QLatin1String("replace")) {
                StateFile::replace(m_state, writerOf(stateBytes(3)));
            } else {
                StateFile::writeRating(m_raw, 3);
            }
        } catch (const std::runtime_error& e) {
            error = QString::fromLocal8Bit(e.what());
        }
        QVERIFY2(error.contains(QString::fromLocal8Bit(std::strerror(EIO))), qPrintable(error));
        QCOMPARE(fileBytes(m_state), old);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden),
            QStringList({ "IMG.1.vrx", "IMG.1.vrxs" }));
    }

    // A backup whose state file is gone was left by a save that removed the file first;
    // it brings the state back on the next read.
    void backupBringsTheStateBack()
    {
        QVERIFY(ostra::test::writeTreeFile(StateFile::backupPath(m_state), content(321, 'k')));
        StateStamp readStamp;
        QByteArray seen;
        QVERIFY(readState(m_state, seen, readStamp));
        QCOMPARE(seen, content(321, 'k'));
        QCOMPARE(readStamp.size, qint64(321));
    }

    // A process killed while writing the new state (it exceeds its file-size limit)
    // leaves the old state whole; the lock and backup it leaves behind stop nothing.
    void crashMidSave()
    {
        StateStamp stamp;
        QCOMPARE(save(stamp, content(2000, 'l')), StateFile::Result::Saved);
        const QString newContent = m_dir.path() + "/new.bin";
        QVERIFY(ostra::test::writeTreeFile(newContent, content(300000, 'm')));
        QCOMPARE(
            runHelper({ QStringLiteral("crash-save"), m_state, newContent, QStringLiteral("50000") }), -1);
        QVERIFY(QFile::exists(StateFile::backupPath(m_state)));

        QCOMPARE(fileBytes(m_state), content(2000, 'l'));
        QByteArray seen;
        StateStamp readStamp;
        QVERIFY(readState(m_state, seen, readStamp));
        QCOMPARE(seen, content(2000, 'l'));
        QCOMPARE(save(readStamp, content(2500, 'n')), StateFile::Result::Saved);
        QCOMPARE(fileBytes(m_state), content(2500, 'n'));
        QVERIFY(!QFile::exists(StateFile::backupPath(m_state)));
        QFile::remove(newContent);
    }

    // Ratings appended from several threads under the lock are all kept, whole.
    void concurrentRatings()
    {
        StateFile::writeRating(m_raw, 1);
        const qint64 record = QFileInfo(m_state).size();
        QVERIFY(record > 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([this, t] {
                for (int i = 0; i < 25; ++i)
                    StateFile::writeRating(m_raw, 1 + (t + i) % 5);
            });
        for (auto& t : threads)
            t.join();
        QCOMPARE(QFileInfo(m_state).size(), record * 101);
        const int last = ratingIn(m_state);
        QVERIFY(last >= 1 && last <= 5);

        // A lock held elsewhere fails the rating after a short wait.
        QLockFile held(StateFile::lockPath(m_state));
        QVERIFY(held.tryLock(0));
        QVERIFY_EXCEPTION_THROWN(StateFile::writeRating(m_raw, 2, 50), std::runtime_error);
        QCOMPARE(QFileInfo(m_state).size(), record * 101);
    }

    void appendAfterATornRecord_data()
    {
        QTest::addColumn<QByteArray>("stray");
        QTest::addColumn<bool>("diskFull");
        QTest::newRow("torn header") << QByteArray("QS\x02\x00\x04", 5) << false;
        QTest::newRow("torn payload") << stateBytes(5).left(14) << false;
        QTest::newRow("garbage") << QByteArray(40, '\x7f') << false;
        // A record damaged in place, with an edit behind it that readers no longer reach.
        QByteArray damaged = stateBytes(3);
        damaged[damaged.size() - 1] = char(damaged.at(damaged.size() - 1) ^ 0x40);
        QTest::newRow("damaged record before an intact one") << damaged + stateBytes(5) << false;
        QTest::newRow("disk full mid-record") << QByteArray() << true;
    }

    // Stray bytes of an earlier cut-short append are no longer in front of the new record, and
    // the file as it was is kept beside it (they may hold edits behind one damaged record); an
    // append cut short by a full disk fails and leaves the file as it was.
    void appendAfterATornRecord()
    {
        QFETCH(QByteArray, stray);
        QFETCH(bool, diskFull);
        const QByteArray before = stateBytes(2) + stray;
        QVERIFY(ostra::test::writeTreeFile(m_state, before));
        if (diskFull) {
            ostra::test::FileSizeLimit limit(rlim_t(before.size() + 6));
            QVERIFY_EXCEPTION_THROWN(StateFile::writeRating(m_raw, 5), std::runtime_error);
            QCOMPARE(fileBytes(m_state), before);
        }
        StateFile::writeRating(m_raw, 4);
        QCOMPARE(ratingIn(m_state), 4);
        QCOMPARE(fileBytes(m_state + ".unreadable"), stray.isEmpty() ? QByteArray() : before);
        StateFile::writeRating(m_raw, 1); // and a plain append after the repair
        QVERIFY(!QFile::exists(m_state + ".unreadable2"));
        QCOMPARE(ratingIn(m_state), 1);
        std::ifstream in(QFile::encodeName(m_state).toStdString(), std::ios::binary);
        QCOMPARE(CIAPI::StateFileEditor(in).imageID(), (std::vector<std::uint32_t> { 1, 2, 3, 4 }));
    }

    // A save or a rating that waited for the lock while the bin took the picture and its
    // state leaves nothing beside the picture's name.
    void pictureBinnedWhileTheSaveWaited_data()
    {
        QTest::addColumn<bool>("rating");
        QTest::newRow("save") << false;
        QTest::newRow("rating") << true;
    }
    void pictureBinnedWhileTheSaveWaited()
    {
        QFETCH(bool, rating);
        StateStamp stamp;
        QCOMPARE(save(stamp, content(300, 'p')), StateFile::Result::Saved);
        auto bin = std::make_unique<QLockFile>(StateFile::lockPath(m_state));
        QVERIFY(bin->tryLock(0));
        std::atomic<int> result { -1 };
        std::thread writer([&] {
            if (rating) {
                try {
                    StateFile::writeRating(m_raw, 3, 10000);
                    result = int(StateFile::Result::Saved);
                } catch (const std::runtime_error&) {
                    result = int(StateFile::Result::PictureGone);
                }
            } else {
                StateStamp seen = stamp;
                QString reason;
                result = int(StateFile::save(
                    m_state, true, seen, writerOf(content(400, 'q')), &reason, 10000, m_raw.toLocalFile()));
            }
        });
        QTest::qWait(100); // the writer waits for the lock
        QVERIFY(QFile::remove(m_raw.toLocalFile()));
        QVERIFY(QFile::remove(m_state));
        bin.reset();
        writer.join();
        QCOMPARE(result.load(), int(StateFile::Result::PictureGone));
        QVERIFY(!QFile::exists(m_state));
        QVERIFY(!QFile::exists(StateFile::backupPath(m_state)));
    }

private:
    QTemporaryDir m_dir;
    QUrl m_raw;
    QString m_state;

    StateFile::Result save(StateStamp& stamp, const QByteArray& bytes, bool force = false)
    {
        return StateFile::save(m_state, force, stamp, writerOf(bytes));
    }
};

OSTRA_TEST_MAIN_CORE(TestStateFile)
#include "tst_statefile.moc"

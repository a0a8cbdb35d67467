#include "support/testmain.h"

#include "support/filetree.h"
#include "support/forkedchild.h"
#include "support/picturefiles.h"
#include "support/residentpages.h"
#include "support/runner.h"

#include "engine/directstreamreader.h"
#include "engine/indextask.h"
#include "engine/streampart.h"
#include "engine/streamsource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>
#include <memory>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

QByteArray pattern(int size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed) & 0xff);
    return bytes;
}

int openDescriptors()
{
    return int(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

QByteArray mapped(const StreamPart& part)
{
    return QByteArray(reinterpret_cast<const char*>(part.data()), int(part.length()));
}

} // namespace

using ostra::test::Runner;

class TestStreamPart : public QObject
{
    Q_OBJECT
private slots:
    void ranges()
    {
        const QByteArray bytes = pattern(10000);
        const QString file = m_dir.path() + "/r.vrx";
        QVERIFY(ostra::test::writeTreeFile(file, bytes));

        StreamPart tail(file, 100, -1);
        QVERIFY(!tail.data());
        QVERIFY(tail.map());
        QCOMPARE(tail.length(), qint64(9900));
        QCOMPARE(mapped(tail), bytes.mid(100));

        // An offset inside a page is honoured exactly.
        StreamPart middle(file, 4097, 33);
        QVERIFY(mapPart(middle));
        QCOMPARE(mapped(middle), bytes.mid(4097, 33));

        // A size past the end is cut to the file, so nothing beyond it can be touched.
        StreamPart longer(file, 9000, 5000);
        QVERIFY(longer.map());
        QCOMPARE(longer.length(), qint64(1000));
        QCOMPARE(mapped(longer), bytes.mid(9000));

        StreamPart beyond(file, 20000, -1);
        QVERIFY(!beyond.map());
        QVERIFY(!beyond.data());
        StreamPart negative(file, -5, 10);
        QVERIFY(!negative.map());
    }

    // A mapped part holds no descriptor: far more parts than the descriptor limit can
    // wait mapped, and the bytes stay readable after the file is removed.
    void mappedPartsHoldNoDescriptor()
    {
        QStringList files;
        for (int i = 0; i < 8; ++i) {
            files << m_dir.path() + QString("/fd%1.vrx").arg(i);
            QVERIFY(ostra::test::writeTreeFile(files.last(), pattern(3000, i)));
        }
        const int before = openDescriptors();
        std::vector<std::shared_ptr<StreamPart>> parts;
        for (int i = 0; i < 1500; ++i) {
            auto part = std::make_shared<StreamPart>(files[i % files.size()], i % 100, 500);
            QVERIFY(part->map());
            parts.push_back(part);
        }
        QVERIFY(openDescriptors() <= before + 1);
        for (const QString& f : files)
            QVERIFY(QFile::remove(f));
        for (int i = 0; i < int(parts.size()); ++i)
            QCOMPARE(mapped(*parts[i]), pattern(3000, i % files.size()).mid(i % 100, 500));
    }

    // A part that waits (a compression queued behind a folder's worth of others) gives its
    // read pages back; the next read finds the same bytes, even once the file is gone.
    void residentPagesGoBackToTheFile()
    {
        const QByteArray bytes = pattern(4 << 20, 5);
        const QString file = m_dir.path() + "/resident.vrx";
        QVERIFY(ostra::test::writeTreeFile(file, bytes));
        StreamPart part(file);
        part.dropResidentPages(); // not mapped yet: nothing to do
        QVERIFY(part.map());
        QCOMPARE(mapped(part), bytes);
        QVERIFY2(ostra::test::residentKb(part.data()) >= 4000,
            qPrintable(QString::number(ostra::test::residentKb(part.data()))));
        part.dropResidentPages();
        QVERIFY2(ostra::test::residentKb(part.data()) < 64,
            qPrintable(QString::number(ostra::test::residentKb(part.data()))));
        QCOMPARE(mapped(part), bytes);
        QVERIFY(QFile::remove(file));
        part.dropResidentPages();
        QCOMPARE(mapped(part), bytes);
        QCOMPARE(part.mapCount(), 1);
    }

    // Readers on several threads share one part and map the file once.
    void sharedAcrossThreads()
    {
        const QString file = m_dir.path() + "/shared.vrx";
        QVERIFY(ostra::test::writeTreeFile(file, pattern(50000, 3)));
        auto part = std::make_shared<StreamSource>(QUrl::fromLocalFile(file));
        std::atomic<int> bad { 0 };
        std::vector<std::unique_ptr<Runner>> threads;
        for (int t = 0; t < 8; ++t) {
            threads.push_back(std::make_unique<Runner>([part, &bad] {
                for (int i = 0; i < 50; ++i) {
                    if (!mapPart(*part) || part->length() != 50000
                        || part->data()[49999] != uchar((49999 * 31 + 3) & 0xff))
                        ++bad;
                }
            }));
            threads.back()->start();
        }
        for (auto& t : threads)
            QVERIFY(t->wait(60000));
        QCOMPARE(bad.load(), 0);
        QCOMPARE(part->mapCount(), 1);
    }

    // A file cut short while it is mapped (a sync tool or `cp` rewrites it, a disk goes
    // away) is a read error for that file: the reader finds zeros where the lost bytes
    // were, the part counts the fault, and the next use maps the file as it is now.
    // Run in a child, so a bus error fails the case instead of ending the test program.
    void cutShortWhileMapped_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::newRow("whole file") << qint64(0);
        QTest::newRow("range inside a page") << qint64(4097);
    }
    void cutShortWhileMapped()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("a child forked from a threaded process cannot run under the thread sanitizer");
#endif
        QFETCH(qint64, offset);
        const QString file = m_dir.path() + "/shrinks.vrx";
        const QByteArray bytes = pattern(1 << 20, 5);
        QVERIFY(ostra::test::writeTreeFile(file, bytes));
        const int code = ostra::test::inChild([&] {
            StreamPart part(file, offset, -1);
            if (!part.map() || part.faults() != 0)
                return 10;
            const QByteArray native = QFile::encodeName(file);
            if (::truncate(native.constData(), 6000) != 0)
                return 11;
            // Every byte of the old mapping, the lost ones too.
            const uchar* data = part.data();
            unsigned sum = 0;
            for (qint64 i = 0; i < part.length(); ++i)
                sum += data[i];
            if (part.faults() == 0)
                return 12;
            if (data[part.length() - 1] != 0)
                return 13;
            // Mapped again: the file as it is now.
            if (!part.map() || part.length() != 6000 - offset || part.mapCount() != 2)
                return 14;
            if (mapped(part) != bytes.mid(int(offset), int(6000 - offset)))
                return 15;
            return sum == 0 ? 16 : 0;
        });
        QCOMPARE(code, 0);
    }

    // The engine's readers over a raw file cut short after it was opened: the render is a
    // read error (an exception the caller turns into an unreadable picture), never a crash.
    void engineReadOfFileCutShort_data()
    {
        QTest::addColumn<bool>("thumbnail");
        QTest::newRow("direct reader") << false;
        QTest::newRow("thumbnail render") << true;
    }
    void engineReadOfFileCutShort()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("a child forked from a threaded process cannot run under the thread sanitizer");
#endif
        QFETCH(bool, thumbnail);
        vrxgen::PictureOptions options = ostra::test::PictureFiles::small(7);
        options.moduleWidth = 512;
        options.moduleHeight = 384;
        options.preview = false;
        options.depthMap = false;
        const QString file = ostra::test::PictureFiles::write(m_dir.path(), "cut.vrx", options);
        QVERIFY(!file.isEmpty());
        const qint64 size = QFileInfo(file).size();
        QVERIFY(size > 200000);

        // The file as it is renders (the case below fails for the cut alone).
        {
            auto whole = std::make_shared<StreamSource>(QUrl::fromLocalFile(file));
            DirectStreamReader reader;
            reader.setSource(whole);
            bool rendered = false;
            reader.setOutputUpdateListener(
                [&](const CIAPI::ImagePyramid&, const CIAPI::ROI&, int) { rendered = true; });
            reader.render();
            QVERIFY(rendered);
        }

        const int code = ostra::test::inChild([&] {
            auto source = std::make_shared<StreamSource>(QUrl::fromLocalFile(file));
            DirectStreamReader reader;
            try {
                reader.setSource(source);
                if (!thumbnail)
                    reader.setOutputUpdateListener([](const CIAPI::ImagePyramid&, const CIAPI::ROI&, int) {});
            } catch (...) {
                return 20; // the whole file must open
            }
            if (::truncate(QFile::encodeName(file).constData(), 8192) != 0)
                return 21;
            try {
                if (thumbnail)
                    IndexTask::renderThumbnail(*source, 0, 0);
                else
                    reader.render();
            } catch (const std::exception&) {
                return 0;
            }
            return 22; // rendered as if nothing had happened
        });
        QCOMPARE(code, 0);
    }

    // A cycle of links is reported and never read; nothing aborts.
    void circularLinks()
    {
        const QString a = m_dir.path() + "/loopA.vrx";
        const QString b = m_dir.path() + "/loopB.vrx";
        QVERIFY(QFile::link(b, a));
        QVERIFY(QFile::link(a, b));
        StreamSource source(QUrl::fromLocalFile(a));
        QVERIFY(source.circular());
        QVERIFY(source.fileName().isEmpty());
        QVERIFY(!source.map());

        StreamSource dangling(QUrl::fromLocalFile(m_dir.path() + "/nowhere.vrx"));
        QVERIFY(!dangling.circular());
        QVERIFY(!dangling.map());
    }

private:
    QTemporaryDir m_dir;
};

OSTRA_TEST_MAIN_CORE(TestStreamPart)
#include "tst_streampart.moc"

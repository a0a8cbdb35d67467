#include "support/testmain.h"

#include "support/filetree.h"
#include "support/runner.h"

#include "engine/streampart.h"
#include "engine/streamsource.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>
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

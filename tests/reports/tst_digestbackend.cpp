#include "support/testmain.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "reports/digestbackend.h"
#include "reports/filesegment.h"
#include "reports/infouploader.h"

namespace {

constexpr qint64 kFileSize = 300000;

// Plans the given checksum steps and depends on the checksum back-end.
class Planner : public NetworkBackend
{
public:
    explicit Planner(QList<osm::Step> steps)
        : m_steps(std::move(steps))
    { }
    QVariant key() const override { return QStringLiteral("planner"); }
    QVariantList planRoute(EvidenceTrace& state) override
    {
        for (const osm::Step& step : m_steps)
            state.addStep(step);
        return { QStringLiteral("digest") };
    }
    osm::Job* execute(EvidenceTrace&, const osm::Step&) override { return nullptr; }
    void onNetworkResponseFinished(QNetworkReply*) override { }

private:
    QList<osm::Step> m_steps;
};

// The digest that the system's md5sum or sha256sum gives the bytes [offset, offset + length).
QByteArray toolDigest(const QString& tool, const QString& path, qint64 offset, qint64 length)
{
    QProcess shell;
    shell.start(QStringLiteral("sh"),
        { QStringLiteral("-c"),
            QStringLiteral("tail -c +%1 \"$0\" | head -c %2 | %3").arg(offset + 1).arg(length).arg(tool),
            path });
    if (!shell.waitForFinished(30000) || shell.exitCode() != 0)
        return {};
    return QByteArray::fromHex(shell.readAllStandardOutput().split(' ').first());
}

} // namespace

class TestDigestBackend : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_path;

private slots:
    void initTestCase()
    {
        m_path = m_dir.filePath(QStringLiteral("report.zip"));
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray bytes(int(kFileSize), Qt::Uninitialized);
        QRandomGenerator generator(28);
        for (char& c : bytes)
            c = char(generator.bounded(256));
        QCOMPARE(file.write(bytes), kFileSize);
    }

    void stepsStoreTheDigestsOfTheirRanges_data()
    {
        QTest::addColumn<QString>("algorithm");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("length");
        QTest::addColumn<bool>("ranged");
        QTest::newRow("md5 middle") << "Md5" << 1000LL << 77777LL << true;
        QTest::newRow("sha256 tail") << "Sha256" << kFileSize - 100 << 100LL << true;
        QTest::newRow("md5 past the end") << "Md5" << kFileSize - 10 << 5000LL << true;
        QTest::newRow("md5 whole-file step") << "Md5" << 0LL << kFileSize << false;
    }

    void stepsStoreTheDigestsOfTheirRanges()
    {
        QFETCH(QString, algorithm);
        QFETCH(qint64, offset);
        QFETCH(qint64, length);
        QFETCH(bool, ranged);
        const osm::Step step
            = ranged ? osm::Step { "digest", algorithm, offset, length } : osm::Step { "digest", algorithm };
        InfoUploader uploader;
        DigestBackend digest;
        Planner planner({ step });
        digest.setMaster(&uploader);
        planner.setMaster(&uploader);

        QHash<EvidenceTrace::DigestKey, QByteArray> digests;
        connect(&uploader, &InfoUploader::uploaded, this,
            [&](const QUrl& url) { digests = uploader.findState(url)->digests; });
        QSignalSpy uploaded(&uploader, &InfoUploader::uploaded);
        uploader.upload(QUrl::fromLocalFile(m_path));
        QVERIFY(uploaded.wait(10000));

        QCOMPARE(digests.size(), 1);
        const auto key = digests.keys().first();
        QCOMPARE(key.first, qMakePair(offset, length));
        const QByteArray expected = toolDigest(algorithm.toLower() + "sum", m_path, offset, length);
        QVERIFY(!expected.isEmpty());
        QCOMPARE(digests.value(key).toHex(), expected.toHex());
    }

    // Of repeated keys the last counts; a segment reads its range from its own zero and is
    // never written.
    void segmentsShowTheirRangeFromZero()
    {
        QUrl url = QUrl::fromLocalFile(m_path);
        url.setQuery(QStringLiteral("offset=100"));
        QCOMPARE(FileSegment::segmentOf(url), qMakePair(qint64(100), kFileSize));
        url.setQuery(QStringLiteral("offset=1&length=x&offset=5&length=9"));
        QCOMPARE(FileSegment::segmentOf(url), qMakePair(qint64(5), qint64(9)));
        FileSegment segment(m_path, 100, 50);
        QFile whole(m_path);
        QVERIFY(segment.open(QIODevice::ReadWrite) && whole.open(QIODevice::ReadOnly));
        QVERIFY(!segment.isWritable() && !segment.resize(10));
        QVERIFY(segment.seek(10) && whole.seek(110));
        QCOMPARE(segment.read(80), whole.read(40));
        QVERIFY(segment.atEnd());
    }

    void checksumAfterTheMasterIsGone()
    {
        DigestBackend digest;
        {
            InfoUploader uploader;
            Planner planner(QList<osm::Step> { { "digest", "Md5" } });
            digest.setMaster(&uploader);
            planner.setMaster(&uploader);
            uploader.upload(QUrl::fromLocalFile(m_path));
        }
        // The checksum comes back to a back-end whose master is gone.
        QTest::qWait(200);
        QVERIFY(!digest.machine && !digest.networker);
    }
};

OSTRA_TEST_MAIN(TestDigestBackend)
#include "tst_digestbackend.moc"

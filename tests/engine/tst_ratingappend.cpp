// A rating appended to a state file is read back after an earlier append was cut short, and
// an append that cannot write every byte says so and leaves the file ending on a record.
#include "support/testmain.h"

#include "support/filesizelimit.h"

#include "ciapi/state/statecodec.h"
#include "ciapi/statefileeditor.h"
#include "engine/statefile.h"

#include <QFile>
#include <QTemporaryDir>

#include <sstream>

namespace {

QByteArray stateBytes(int rating)
{
    CIAPI::state::EngineState s;
    s.imageId = CIAPI::vrx::UuidWords { 1, 2, 3, 4 };
    s.rating = rating;
    const auto bytes = CIAPI::state::StateCodec::write(s);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
}

CIAPI::StateFileEditor readBack(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    std::istringstream in(file.readAll().toStdString());
    return CIAPI::StateFileEditor(in);
}

} // namespace

class TestRatingAppend : public QObject
{
    Q_OBJECT

private slots:
    void ratingAfterStrayBytes_data()
    {
        QTest::addColumn<QByteArray>("stray");
        QTest::newRow("torn header") << QByteArray("QS\x02\x00\x04", 5);
        QTest::newRow("torn payload") << stateBytes(5).left(14);
        QTest::newRow("garbage") << QByteArray(40, '\x7f');
    }

    // Stray bytes of an earlier cut-short append are no longer in front of the new record.
    void ratingAfterStrayBytes()
    {
        QFETCH(QByteArray, stray);
        QTemporaryDir dir;
        const QUrl raw = QUrl::fromLocalFile(dir.filePath(QStringLiteral("IMG.1.vrx")));
        const QString path = StateFile::pathFor(raw);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(stateBytes(2) + stray);
        file.close();
        StateFile::writeRating(raw, 4);
        const CIAPI::StateFileEditor facts = readBack(path);
        QCOMPARE(facts.userRating(), 4);
        QCOMPARE(facts.imageID(), (std::vector<std::uint32_t> { 1, 2, 3, 4 }));
        StateFile::writeRating(raw, 1); // and a plain append after the repair
        QCOMPARE(readBack(path).userRating(), 1);
    }

    // A full disk in the middle of the record: a failure, and the file as it was.
    void cutShortAppendFails()
    {
        QTemporaryDir dir;
        const QUrl raw = QUrl::fromLocalFile(dir.filePath(QStringLiteral("IMG.2.vrx")));
        const QString path = StateFile::pathFor(raw);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray before = stateBytes(2);
        file.write(before);
        file.close();
        {
            ostra::test::FileSizeLimit limit(rlim_t(before.size() + 6));
            QVERIFY_EXCEPTION_THROWN(StateFile::writeRating(raw, 5), std::runtime_error);
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        file.close();
        StateFile::writeRating(raw, 3);
        QCOMPARE(readBack(path).userRating(), 3);
    }
};

OSTRA_TEST_MAIN_CORE(TestRatingAppend)
#include "tst_ratingappend.moc"

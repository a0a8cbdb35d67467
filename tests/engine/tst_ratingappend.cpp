// A rating appended to a state file is read back after an earlier append was cut short, and
// an append that cannot write every byte says so and leaves the file ending on a record.
#include "support/testmain.h"

#include "support/filesizelimit.h"
#include "support/filetree.h"

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

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int ratingIn(const QString& path)
{
    std::istringstream in(contents(path).toStdString());
    const CIAPI::StateFileEditor facts(in);
    return facts.imageID() == std::vector<std::uint32_t> { 1, 2, 3, 4 } ? facts.userRating() : -1;
}

} // namespace

class TestRatingAppend : public QObject
{
    Q_OBJECT

private slots:
    void appendAfterATornRecord_data()
    {
        QTest::addColumn<QByteArray>("stray");
        QTest::addColumn<bool>("diskFull");
        QTest::newRow("torn header") << QByteArray("QS\x02\x00\x04", 5) << false;
        QTest::newRow("torn payload") << stateBytes(5).left(14) << false;
        QTest::newRow("garbage") << QByteArray(40, '\x7f') << false;
        QTest::newRow("disk full mid-record") << QByteArray() << true;
    }

    // Stray bytes of an earlier cut-short append are no longer in front of the new record; an
    // append cut short by a full disk fails and leaves the file as it was.
    void appendAfterATornRecord()
    {
        QFETCH(QByteArray, stray);
        QFETCH(bool, diskFull);
        QTemporaryDir dir;
        const QUrl raw = QUrl::fromLocalFile(dir.filePath(QStringLiteral("IMG.1.vrx")));
        const QString path = StateFile::pathFor(raw);
        const QByteArray before = stateBytes(2) + stray;
        QVERIFY(ostra::test::writeTreeFile(path, before));
        if (diskFull) {
            ostra::test::FileSizeLimit limit(rlim_t(before.size() + 6));
            QVERIFY_EXCEPTION_THROWN(StateFile::writeRating(raw, 5), std::runtime_error);
            QCOMPARE(contents(path), before);
        }
        StateFile::writeRating(raw, 4);
        QCOMPARE(ratingIn(path), 4);
        StateFile::writeRating(raw, 1); // and a plain append after the repair
        QCOMPARE(ratingIn(path), 1);
    }
};

OSTRA_TEST_MAIN_CORE(TestRatingAppend)
#include "tst_ratingappend.moc"

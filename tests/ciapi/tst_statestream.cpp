// The ".vrxs" state stream: round trips, appended rating records, torn tails, sizes.
#include "ciapi/ciapi.h"
#include "ciapi/codec/jpegcodec.h"
#include "ciapi/state/statecodec.h"
#include "support/testmain.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fstream>
#include <sstream>

using namespace CIAPI;

namespace {

state::EngineState fullState(bool thumbnail)
{
    state::EngineState s;
    s.imageId = vrx::UuidWords { { 0x01020304u, 0x05060708u, 0x090a0b0cu, 0x0d0e0f10u } };
    s.rating = 3;
    s.tuneFloats = std::map<int, float> { { 2, -0.75f }, { 3, 4300.f }, { 4, 12.f }, { 7, 20.f },
        { 8, -10.f }, { 9, 5.f }, { 13, 30.f } };
    s.tuneInts = std::map<int, std::int64_t> {};
    s.depthOfField = 5.6f;
    s.focusDepth = 1.25f;
    Transform t(Point<int> { 16, 9 });
    t.reset(4);
    t.setCrop(RectF { 0.1f, 0.2f, 0.5f, 0.4f });
    s.transform = t;
    state::DepthState d;
    d.type = 2;
    d.map.width = 40;
    d.map.height = 30;
    for (int i = 0; i < 40 * 30; ++i)
        d.map.depth.push_back(0.5f + static_cast<float>(i % 40) * 0.25f);
    s.depth = d;
    s.depthEdits = std::vector<std::uint8_t> { 1, 2, 3, 4, 5 };
    const std::vector<std::uint8_t> grey(64 * 48 * 4, 200);
    if (thumbnail)
        s.thumbnailJpeg = codec::JpegCodec::encode(grey.data(), 64, 48, 64 * 4, false, 90);
    return s;
}

std::string bytesOf(const state::EngineState& s)
{
    std::ostringstream out;
    state::StateCodec::write(out, s);
    return out.str();
}

// A rating record as the editor appends it, the ratings set in turn.
std::string ratingRecord(std::initializer_list<int> ratings)
{
    StateFileEditor record;
    for (int rating : ratings)
        record.setUserRating(rating);
    std::ostringstream out;
    record.serialize(out);
    return out.str();
}

} // namespace

class TestStateStream : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip()
    {
        const state::EngineState s = fullState(true);
        std::istringstream in(bytesOf(s));
        const auto r = state::StateCodec::read(in);
        QVERIFY(!r.tornTail);
        QCOMPARE(r.segments, 8);
        QCOMPARE(*r.state.imageId, *s.imageId);
        QCOMPARE(*r.state.rating, 3);
        QCOMPARE(*r.state.tuneFloats, *s.tuneFloats);
        QCOMPARE(*r.state.depthOfField, 5.6f);
        QCOMPARE(*r.state.focusDepth, 1.25f);
        QVERIFY(*r.state.transform == *s.transform);
        QCOMPARE(r.state.depth->type, 2);
        QCOMPARE(r.state.depth->map.width, 40);
        for (std::size_t i = 0; i < s.depth->map.depth.size(); ++i)
            QVERIFY(std::abs(r.state.depth->map.depth[i] - s.depth->map.depth[i])
                < 0.01f * s.depth->map.depth[i]);
        QCOMPARE(*r.state.depthEdits, *s.depthEdits);
        QCOMPARE(*r.state.thumbnailJpeg, *s.thumbnailJpeg);

        std::istringstream again(bytesOf(s));
        StateFileEditor editor(again);
        QCOMPARE(editor.imageID(), std::vector<std::uint32_t>(s.imageId->begin(), s.imageId->end()));
        QVERIFY(editor.transform() == *s.transform);
        const Image thumb = editor.getThumbnail();
        QCOMPARE(thumb.width(), 64);
        QCOMPARE(thumb.height(), 48);
        QCOMPARE(static_cast<int>(thumb.data()[3]), 255);
    }

    // Rating records appended to a file on disk are seen by every reader, in order.
    void appendedRatingsWin()
    {
        QTemporaryDir dir;
        const std::string path = (dir.path() + "/IMG_1.vrxs").toStdString();
        std::ofstream(path, std::ios::binary) << bytesOf(fullState(true));
        for (int rating : { 5, 1, 0, 4 })
            std::ofstream(path, std::ios::binary | std::ios::app)
                << ratingRecord({ -2147483647 - 1, rating });
        std::ifstream in(path, std::ios::binary);
        StateFileEditor editor(in);
        QCOMPARE(editor.userRating(), 4);
        QCOMPARE(editor.depthType(), 2); // earlier facts survive
        QVERIFY(editor.hasThumbnail());

        // A rating-only file (a picture rated before it had a state).
        const std::string ratingOnly = (dir.path() + "/IMG_2.vrxs").toStdString();
        std::ofstream(ratingOnly, std::ios::binary | std::ios::app) << ratingRecord({ 2 });
        std::ifstream in2(ratingOnly, std::ios::binary);
        StateFileEditor e2(in2);
        QCOMPARE(e2.userRating(), 2);
        QCOMPARE(e2.depthType(), 0);
        QVERIFY(!e2.transform().isSet());
        QVERIFY(e2.imageID().empty());
    }

    // A crash mid-append leaves a torn last segment: it is ignored, nothing before it is lost.
    void tornTailIgnored()
    {
        std::string bytes = bytesOf(fullState(false));
        const std::string record = ratingRecord({ 5 });
        for (std::size_t cut = 1; cut < record.size(); ++cut) {
            std::istringstream in(bytes + record.substr(0, cut));
            const auto r = state::StateCodec::read(in);
            QVERIFY(r.tornTail);
            QCOMPARE(*r.state.rating, 3);
            QCOMPARE(r.state.depthType(), 2);
        }
        // A corrupt (not just short) segment in the middle stops reading there.
        std::string corrupt = bytes + record + record;
        corrupt[bytes.size() + 13] ^= 0x40;
        std::istringstream in(corrupt);
        const auto r = state::StateCodec::read(in);
        QVERIFY(r.tornTail);
        QCOMPARE(*r.state.rating, 3);
    }

    // Any cut of a whole state is read or refused cleanly (only a torn first segment may be
    // refused, and garbage); flipped bits never make the reader fail.
    void truncationsAndBitFlips()
    {
        state::EngineState s = fullState(false);
        s.tuneInts = std::map<int, std::int64_t> { { 8, 4 } };
        const auto bytes = state::StateCodec::write(s);
        for (std::size_t len = 0; len <= bytes.size(); ++len) {
            std::istringstream in(
                std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(len)));
            try {
                StateFileEditor editor(in);
                (void)editor.userRating();
                (void)editor.transform();
                QVERIFY_EXCEPTION_THROWN(editor.getThumbnail(), std::runtime_error);
            } catch (const std::runtime_error&) {
                QVERIFY(len > 0 && len < 12 + 16); // only a torn first segment may be refused
            }
        }
        std::uint32_t rng = 99;
        for (int i = 0; i < 3000; ++i) {
            auto copy = bytes;
            rng = rng * 1664525u + 1013904223u;
            copy[rng % copy.size()] ^= static_cast<std::uint8_t>(1u << ((rng >> 24) % 8));
            QVERIFY(state::StateCodec::read(copy.data(), copy.size()).segments >= 0);
        }
        std::istringstream garbage(std::string("definitely not a state file"));
        QVERIFY_EXCEPTION_THROWN(StateFileEditor e(garbage), std::runtime_error);
    }
};

OSTRA_TEST_MAIN_CORE(TestStateStream)
#include "tst_statestream.moc"

// Memory and multi streams: zero copy, seekable, the parts read back to back.
#include "ciapi/bytesource.h"
#include "ciapi/stream.h"
#include "support/testmain.h"

#include <QtTest>

#include <sstream>

using namespace CIAPI;

class TestStreams : public QObject
{
    Q_OBJECT

private slots:
    void multiStreamReadsAcrossParts()
    {
        const std::string a = "first part|";
        const std::string b = "second|";
        const std::string c(70000, 'z'); // larger than the internal buffer
        auto ba = CreateMemStream(a.data(), a.size());
        auto bb = CreateMemStream(b.data(), b.size());
        auto sa = std::make_shared<std::istream>(ba.get());
        auto sb = std::make_shared<std::istream>(bb.get());
        auto sc = std::make_shared<std::istringstream>(c);
        auto multi = CreateMultiStream({ sa, nullptr, sb, sc });
        std::istream in(multi.get());
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        QCOMPARE(all, a + b + c);
        in.clear();
        in.seekg(static_cast<std::streamoff>(a.size() - 2));
        char buf[6] = {};
        in.read(buf, 5);
        QCOMPARE(std::string(buf, 5), std::string("t|sec"));
        in.seekg(-3, std::ios::end);
        in.read(buf, 3);
        QCOMPARE(std::string(buf, 3), std::string("zzz"));
        in.seekg(0, std::ios::end);
        QCOMPARE(static_cast<std::size_t>(in.tellg()), a.size() + b.size() + c.size());

        // Over memory parts only, the engine reads in place and copies across the seam.
        auto memOnly = CreateMultiStream({ sa, sb });
        auto memStream = std::make_shared<std::istream>(memOnly.get());
        auto src = ByteSource::fromStream(memStream);
        QCOMPARE(src->size(), a.size() + b.size());
        QVERIFY(src->view(0, 3) == reinterpret_cast<const std::uint8_t*>(a.data()));
        QVERIFY(src->view(a.size() - 1, 2) == nullptr);
        const auto seam = src->bytes(a.size() - 1, 2);
        QCOMPARE(std::string(seam.begin(), seam.end()), std::string("|s"));
        // A mixed multi stream is read through the stream interface.
        auto mixed = std::make_shared<std::istream>(multi.get());
        auto msrc = ByteSource::fromStream(mixed);
        const auto tail = msrc->bytes(a.size() + b.size(), 4);
        QCOMPARE(std::string(tail.begin(), tail.end()), std::string("zzzz"));
    }
};

OSTRA_TEST_MAIN_CORE(TestStreams)
#include "tst_streams.moc"

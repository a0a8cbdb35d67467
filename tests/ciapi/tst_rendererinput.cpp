#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "ciapi/ciapi.h"
#include "ciapi/render/workerpool.h"
#include "renderfixture.h"
#include "support/testmain.h"

using namespace CIAPI;
using namespace enginetest;

// The renderer reads a pointer input in place. Once setInputDataStream or the destructor
// returns, no engine thread may read the old bytes: these tests unmap them right away, so a
// late read faults (and the sanitizer build reports it).

namespace {

// A read-only mapping of a whole file.
struct Mapping
{
    explicit Mapping(const QString& path)
        : file(path)
    {
        if (file.open(QIODevice::ReadOnly))
            bytes = file.map(0, file.size());
    }
    ~Mapping() { unmap(); }
    const void* data() const { return bytes; }
    size_t length() const { return bytes ? size_t(file.size()) : 0; }
    void unmap()
    {
        if (bytes)
            file.unmap(std::exchange(bytes, nullptr));
    }

    QFile file;
    uchar* bytes = nullptr;
};

// Large uncompressed frames: copying them out of the input takes long enough for a switch
// to land in the middle of a read.
vrxgen::Picture largePicture(uint32_t seed)
{
    vrxgen::PictureOptions o;
    o.seed = seed;
    o.moduleWidth = 1600;
    o.moduleHeight = 1200;
    o.frames = 2;
    o.compressed = false;
    o.focalLength = 100;
    return vrxgen::makePicture(o);
}

} // namespace

class TestRendererInput : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_first, m_second;
    std::vector<uint8_t> m_reference; // coarsest level of the first picture, rendered from memory

    static void startRenders(Renderer& r)
    {
        const ImagePyramid p = r.outputBuffer();
        const int last = p.levelCount() - 1;
        r.render(last, ROI { 0, 0, p[last].width(), p[last].height() }, 1, false);
        r.render(0, ROI { 0, 0, 1024, 1024 }, 1, false);
        r.render(last - 1, ROI { 0, 0, 4096, 4096 }, 1, false);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const auto a = largePicture(41);
        const auto b = largePicture(42);
        m_first = m_dir.filePath("a.vrx");
        m_second = m_dir.filePath("b.vrx");
        QVERIFY(vrxgen::writeFile(QFile::encodeName(m_first).toStdString(), a.vrx));
        QVERIFY(vrxgen::writeFile(QFile::encodeName(m_second).toStdString(), b.vrx));
        auto r = rendererFor(a, 3);
        m_reference = renderLevel(*r, r->outputBuffer().levelCount() - 1);
    }

    // Switching to another input (or to none) while the frames are being read, then unmapping
    // the old bytes at once; the renderer keeps rendering the new input correctly.
    void switchInputThenUnmap_data()
    {
        QTest::addColumn<bool>("toNone");
        QTest::newRow("another input") << false;
        QTest::newRow("no input") << true;
    }
    void switchInputThenUnmap()
    {
        QFETCH(bool, toNone);
        auto r = Renderer::Create(3);
        r->setProperty(IntParam::EagerDepth, 1);
        EventLog busy; // state 0: depth is about to be computed, straight before the frames are read
        busy.attach(*r);
        std::mt19937 random(7);
        for (int cycle = 0; cycle < 16; ++cycle) {
            auto current = std::make_unique<Mapping>(cycle % 2 ? m_second : m_first);
            QVERIFY(current->data());
            const int seen = busy.count("state 0");
            r->setInputDataStream(current->data(), current->length());
            startRenders(*r);
            if (cycle % 2 == 0)
                busy.waitFor("state 0", seen + 1); // the frames are read next, on an engine thread
            else
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
            if (toNone) {
                r->setInputDataStream(nullptr, 0);
                QVERIFY(!r->hasInput());
                current->unmap();
            } else {
                Mapping next(cycle % 2 ? m_first : m_second);
                QVERIFY(next.data());
                r->setInputDataStream(next.data(), next.length());
                current->unmap();
                startRenders(*r);
                r->setInputDataStream(std::shared_ptr<std::istream>()); // lets go of `next` too
                QVERIFY(!r->hasInput());
            }
        }
        // Still renders, and what it renders is the picture that is the input now.
        Mapping last(m_first);
        r->setInputDataStream(last.data(), last.length());
        ApplyTuning(0, *r); // as the reference was rendered
        QCOMPARE(differingPixels(renderLevel(*r, r->outputBuffer().levelCount() - 1), m_reference, 0), 0);
        r.reset();
    }

    // Destroying the renderer while its tasks read the input, then unmapping.
    void destroyThenUnmap()
    {
        std::mt19937 random(11);
        for (int cycle = 0; cycle < 16; ++cycle) {
            Mapping input(m_first);
            QVERIFY(input.data());
            EventLog busy; // outlives the renderer
            auto r = Renderer::Create(3);
            r->setProperty(IntParam::EagerDepth, 1);
            busy.attach(*r);
            r->setInputDataStream(input.data(), input.length());
            startRenders(*r);
            if (cycle % 2 == 0)
                busy.waitFor("state 0");
            else
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
            r.reset();
            input.unmap();
        }
        StaticShutdown(); // lets every queued task of the destroyed renderers run
    }

    // A listener on an engine thread lets go of the input and unmaps it; the task that called
    // it goes on without reading the bytes, and nothing waits for itself.
    void letGoFromListener()
    {
        for (int cycle = 0; cycle < 4; ++cycle) {
            auto input = std::make_shared<Mapping>(m_first);
            QVERIFY(input->data());
            auto r = Renderer::Create(3);
            r->setProperty(IntParam::EagerDepth, 1);
            Renderer* raw = r.get();
            std::atomic<bool> onEngineThread { false };
            std::atomic<int> letGo { 0 };
            r->setStateChangeListener([&, raw, input](StateChange s, void*) {
                if (s != StateChangeBusy || letGo.load())
                    return;
                onEngineThread = render::WorkerPool::onWorkerThread();
                raw->setInputDataStream(nullptr, 0);
                input->unmap();
                letGo = 1;
            });
            r->setInputDataStream(input->data(), input->length());
            startRenders(*r);
            StaticShutdown(); // drains the queue: every task has run to its end
            QCOMPARE(letGo.load(), 1);
            QVERIFY(onEngineThread.load());
            QVERIFY(!r->hasInput());
            r->setStateChangeListener(nullptr);
        }
    }
};

OSTRA_TEST_MAIN_CORE(TestRendererInput)
#include "tst_rendererinput.moc"

// The editor's render of the open picture on the engine's worker pool while the image
// service draws a folder of demo pictures' thumbnails (tools/vrxgen): each render is a
// tuning change of the level the editor shows (the finest within 1600 x 1200, developed
// once beforehand), timed from the render call to its progress 100. Its run time is the
// same render on an idle pool; the wait is what the load adds. Wall time: on a shared
// machine the idle figure is the best of many runs. The index threads draw thumbnails
// themselves too, so part of what the load adds is CPU time shared with them; how long a
// step queued on the pool waits to start is printed apart, for a step someone waits for and
// for one queued as background work (which waits as everything did when the pool served in
// arrival order). Rounds take turns drawing the thumbnails at lowered CPU priority and at
// the editor's own; each kind's figures come from its rounds, with the rate at which the
// folder was listed: background work must still move.
#include "bench/imageservice/enginepoolwait.h"

#include "bench/imageservice/waituntil.h"
#include "ciapi/backgroundthread.h"
#include "ciapi/ciapi.h"
#include "ciapi/render/workerpool.h"
#include "engine/imagelocator.h"
#include "tools/vrxgen/cameratree.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace imageservicebench {

namespace {

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// One renderer on a picture, rendering one level again and again as the editor does when a
// slider moves.
class EditorRender
{
public:
    explicit EditorRender(const QString& path)
    {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            m_bytes = file.readAll();
        m_renderer = CIAPI::Renderer::Create(0);
        m_renderer->setInputDataStream(
            reinterpret_cast<const uint8_t*>(m_bytes.constData()), size_t(m_bytes.size()));
        CIAPI::ApplyTuning(1, *m_renderer);
        const CIAPI::ImagePyramid pyramid = m_renderer->outputBuffer();
        m_level = pyramid.levelCount() - 1;
        for (int l = 0; l < pyramid.levelCount(); ++l)
            if (pyramid[l].width() <= 1600 && pyramid[l].height() <= 1200) {
                m_level = l;
                break;
            }
        m_roi = CIAPI::ROI { 0, 0, pyramid[m_level].width(), pyramid[m_level].height() };
        m_renderer->setProgressUpdateListener([this](int p) {
            if (p < 100)
                return;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
            m_finished.notify_all();
        });
        m_renderer->render(m_level, m_roi, 1, true); // develops the level
    }

    // Microseconds from the render call to its progress 100.
    double once()
    {
        m_exposure = m_exposure > 0.5f ? 0.f : m_exposure + 0.01f;
        m_renderer->setProperty(CIAPI::FloatParam::Exposure, m_exposure);
        QElapsedTimer t;
        t.start();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = false;
        }
        m_renderer->render(m_level, m_roi, 1, false);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_finished.wait(lock, [this] { return m_done; });
        return t.nsecsElapsed() / 1e3;
    }

    int width() const { return m_roi.width(); }
    int height() const { return m_roi.height(); }

private:
    QByteArray m_bytes;
    std::shared_ptr<CIAPI::Renderer> m_renderer;
    int m_level = 0;
    CIAPI::ROI m_roi {};
    float m_exposure = 0.f;
    std::mutex m_mutex;
    std::condition_variable m_finished;
    bool m_done = false;
};

// Microseconds until a task queued on the engine's pool starts.
double queuedStepUs(CIAPI::render::WorkerPool::Priority priority)
{
    std::mutex mutex;
    std::condition_variable started;
    bool done = false;
    QElapsedTimer t;
    t.start();
    qint64 at = 0;
    CIAPI::render::WorkerPool::instance().submit(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            at = t.nsecsElapsed();
            done = true;
            started.notify_all();
        },
        priority);
    std::unique_lock<std::mutex> lock(mutex);
    started.wait(lock, [&] { return done; });
    return at / 1e3;
}

// What the rounds of one kind measured.
struct Figures
{
    std::vector<double> renders; // microseconds each
    std::vector<double> interactiveStep;
    std::vector<double> backgroundStep;
    std::vector<double> filesPerSecond; // one a round
    std::vector<double> filesPerSecondAlone; // once the editor stopped rendering, one a round
    int rounds = 0;
};

// Lists `files` in a fresh image service and renders in the editor while it draws them.
bool listWhileEditing(EditorRender& editor, const QList<QUrl>& files, Figures& figures)
{
    ImageLocator locator(QThread::idealThreadCount(), nullptr);
    int indexed = 0;
    QObject::connect(&locator, &ImageLocator::notifyFileIndexedSignal, [&] { ++indexed; });
    QObject::connect(&locator, &ImageLocator::notifyFileInvalidSignal, [&] { ++indexed; });
    QElapsedTimer t;
    t.start();
    for (const QUrl& url : files)
        locator.requestMetadata(url);
    // Until the pool is full of thumbnail work.
    waitUntil([&] { return indexed >= 4; }, 60000);
    size_t renders = 0;
    while (renders < 40 && indexed < files.size() * 3 / 4) {
        QCoreApplication::processEvents(QEventLoop::AllEvents); // what arrived meanwhile
        figures.renders.push_back(editor.once());
        ++renders;
        // Taking turns: a step queued right after another finds a worker awake.
        const bool interactiveFirst = renders % 2 == 0;
        for (int k = 0; k < 2; ++k) {
            if ((k == 0) == interactiveFirst)
                figures.interactiveStep.push_back(
                    queuedStepUs(CIAPI::render::WorkerPool::Priority::Interactive));
            else
                figures.backgroundStep.push_back(
                    queuedStepUs(CIAPI::render::WorkerPool::Priority::Background));
        }
    }
    const qint64 editingEnded = t.nsecsElapsed();
    const int listedWhileEditing = indexed;
    if (!waitUntil([&] { return indexed >= files.size(); })) {
        std::printf("editor render wait: the folder was not listed in time\n");
        return false;
    }
    if (renders == 0) {
        std::printf("editor render wait: the folder indexed before a render could be timed\n");
        return false;
    }
    figures.filesPerSecond.push_back(files.size() / (t.nsecsElapsed() / 1e9));
    if (files.size() - listedWhileEditing >= 20)
        figures.filesPerSecondAlone.push_back(
            (files.size() - listedWhileEditing) / ((t.nsecsElapsed() - editingEnded) / 1e9));
    ++figures.rounds;
    return true;
}

} // namespace

void editorRenderWait(const QString& folder, int pictures, int copies, int rounds)
{
    const QString rawFolder = folder + "/raw";
    if (!vrxgen::makeDemoLibrary(QFile::encodeName(rawFolder).toStdString(), pictures)) {
        std::printf("editor render wait: cannot write the demo pictures\n");
        return;
    }
    const QStringList names = QDir(rawFolder).entryList({ "*.vrx" }, QDir::Files, QDir::Name);
    EditorRender editor(rawFolder + "/" + names.first());
    std::vector<double> alone;
    for (int i = 0; i < 30; ++i)
        alone.push_back(editor.once());
    const double run = percentile(alone, 0.0); // the best: what the render costs itself

    // Rounds with background work lowered and not, in the order on off off on ..., so that a
    // machine growing busier or quieter tilts neither side.
    Figures lowered, plain;
    for (int r = 0; r < rounds; ++r) {
        const bool lower = (r % 4 == 0 || r % 4 == 3);
        CIAPI::BackgroundThread::setEnabled(lower);
        // Names of their own each round: a fresh service lists the folder anew.
        const QString setFolder = QString("%1/set%2").arg(folder).arg(r);
        QDir().mkpath(setFolder);
        QList<QUrl> files;
        for (int k = 0; k < copies; ++k)
            for (const QString& name : names) {
                const QString copy = QString("%1/%2_%3").arg(setFolder).arg(k).arg(name);
                if (::link(QFile::encodeName(rawFolder + "/" + name).constData(),
                        QFile::encodeName(copy).constData())
                    != 0) {
                    std::printf("editor render wait: cannot link the copies\n");
                    return;
                }
                files << QUrl::fromLocalFile(copy);
            }
        if (!listWhileEditing(editor, files, lower ? lowered : plain))
            return;
    }
    CIAPI::BackgroundThread::setEnabled(true);
    for (const Figures* f : { &lowered, &plain }) {
        const double median = percentile(f->renders, 0.5), worst = percentile(f->renders, 1.0);
        std::printf(
            "editor render (%d x %d) on the engine's pool behind a full thumbnail load, background work %s"
            " (%d renders in %d rounds): took median %.0f us (p90 %.0f, max %.0f), ran %.0f us alone"
            "  wait/run median %.3f, p90 %.3f, worst %.3f; folder listed at median %.0f files/s (%.0f files/s"
            " once the editor stopped)\n",
            editor.width(), editor.height(), f == &lowered ? "lowered" : "not lowered",
            int(f->renders.size()), f->rounds, median, percentile(f->renders, 0.9), worst, run,
            std::max(0.0, median - run) / run, std::max(0.0, percentile(f->renders, 0.9) - run) / run,
            std::max(0.0, worst - run) / run, percentile(f->filesPerSecond, 0.5),
            percentile(f->filesPerSecondAlone, 0.5));
        std::printf("  a step queued on the engine's pool meanwhile starts after median %.0f us (max %.0f);"
                    " queued as background work: median %.0f us (max %.0f)\n",
            percentile(f->interactiveStep, 0.5), percentile(f->interactiveStep, 1.0),
            percentile(f->backgroundStep, 0.5), percentile(f->backgroundStep, 1.0));
    }
    if (!lowered.renders.empty() && !plain.renders.empty())
        std::printf("  lowered against not: render median %.3f, p90 %.3f; listing rate %.3f, once the editor"
                    " stopped %.3f\n",
            percentile(lowered.renders, 0.5) / percentile(plain.renders, 0.5),
            percentile(lowered.renders, 0.9) / percentile(plain.renders, 0.9),
            percentile(lowered.filesPerSecond, 0.5) / std::max(1e-9, percentile(plain.filesPerSecond, 0.5)),
            percentile(lowered.filesPerSecondAlone, 0.5)
                / std::max(1e-9, percentile(plain.filesPerSecondAlone, 0.5)));
}

} // namespace imageservicebench

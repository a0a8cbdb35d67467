// The editor's render of the open picture on the engine's worker pool while the image
// service draws a folder of demo pictures' thumbnails (tools/vrxgen): each render is a
// tuning change of the level the editor shows (the finest within 1600 x 1200, developed
// once beforehand), timed from the render call to its progress 100. Its run time is the
// same render on an idle pool; the wait is what the load adds. Wall time: on a shared
// machine the idle figure is the best of many runs. The index threads draw thumbnails
// themselves too, so part of what the load adds is CPU time shared with them; how long a
// step queued on the pool waits to start is printed apart, for a step someone waits for and
// for one queued as background work (which waits as everything did when the pool served in
// arrival order).
#include "bench/imageservice/enginepoolwait.h"

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

} // namespace

void editorRenderWait(const QString& folder, int pictures, int copies)
{
    const QString rawFolder = folder + "/raw";
    const QString setFolder = folder + "/set";
    QDir().mkpath(setFolder);
    if (!vrxgen::makeDemoLibrary(QFile::encodeName(rawFolder).toStdString(), pictures)) {
        std::printf("editor render wait: cannot write the demo pictures\n");
        return;
    }
    const QStringList names = QDir(rawFolder).entryList({ "*.vrx" }, QDir::Files, QDir::Name);
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
    EditorRender editor(rawFolder + "/" + names.first());
    std::vector<double> alone;
    for (int i = 0; i < 30; ++i)
        alone.push_back(editor.once());
    const double run = percentile(alone, 0.0); // the best: what the render costs itself

    ImageLocator locator(QThread::idealThreadCount(), nullptr);
    int indexed = 0;
    QObject::connect(&locator, &ImageLocator::notifyFileIndexedSignal, [&] { ++indexed; });
    QObject::connect(&locator, &ImageLocator::notifyFileInvalidSignal, [&] { ++indexed; });
    for (const QUrl& url : files)
        locator.requestMetadata(url);
    // Until the pool is full of thumbnail work.
    QElapsedTimer t;
    t.start();
    while (indexed < 4 && t.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::vector<double> loaded, interactiveStep, backgroundStep;
    while (loaded.size() < 40 && indexed < files.size() * 3 / 4) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        loaded.push_back(editor.once());
        // Taking turns: a step queued right after another finds a worker awake.
        const bool interactiveFirst = loaded.size() % 2 == 0;
        for (int k = 0; k < 2; ++k) {
            if ((k == 0) == interactiveFirst)
                interactiveStep.push_back(queuedStepUs(CIAPI::render::WorkerPool::Priority::Interactive));
            else
                backgroundStep.push_back(queuedStepUs(CIAPI::render::WorkerPool::Priority::Background));
        }
    }
    while (indexed < files.size() && t.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (loaded.empty()) {
        std::printf("editor render wait: the folder indexed before a render could be timed\n");
        return;
    }
    const double median = percentile(loaded, 0.5), worst = percentile(loaded, 1.0);
    std::printf("editor render (%d x %d) on the engine's pool behind a full thumbnail load (%d renders): took"
                " median %.0f us (max %.0f), ran %.0f us alone  wait/run median %.3f, worst %.3f\n",
        editor.width(), editor.height(), int(loaded.size()), median, worst, run,
        std::max(0.0, median - run) / run, std::max(0.0, worst - run) / run);
    std::printf("  a step queued on the engine's pool meanwhile starts after median %.0f us (max %.0f);"
                " queued as background work: median %.0f us (max %.0f)\n",
        percentile(interactiveStep, 0.5), percentile(interactiveStep, 1.0), percentile(backgroundStep, 0.5),
        percentile(backgroundStep, 1.0));
}

} // namespace imageservicebench

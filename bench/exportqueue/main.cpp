// Draining the export queue of background requests that are all refused (background work
// switched off): each queue size doubles the one before; the figure is the drain time as a
// ratio to that of half as many, measured in the same run: about 2 when a take costs the same
// however many pictures wait, 4 when it walks them all. Usage: bench_exportqueue [rounds=3].
// Prints, asserts nothing.
#include "engine/exportqueue.h"
#include "engine/imageviewer.h"
#include "engine/streamsource.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

double drainSeconds(int requests)
{
    ExportQueue queue;
    queue.setBackgroundProcessing(false);
    for (int i = 0; i < requests; ++i) {
        const QUrl url = QUrl::fromLocalFile(QStringLiteral("/nowhere/picture%1.vrx").arg(i));
        queue.enqueue(url, std::make_shared<StreamSource>(url), 1, QStringLiteral("/dev/null"),
            Export::SizeSpec { Export::DepthOnly, -1, {} }, 0);
    }
    ImageViewer writer;
    queue.setWriter(&writer);
    QElapsedTimer timer;
    timer.start();
    queue.run(writer);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (queue.pendingCount() != 0)
        std::printf("the queue was not drained\n");
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    drainSeconds(1000); // warm-up
    double before = 0;
    for (int requests : { 2500, 5000, 10000, 20000 }) {
        double best = 0;
        for (int r = 0; r < rounds; ++r) {
            const double t = drainSeconds(requests);
            best = r == 0 ? t : std::min(best, t);
        }
        std::printf("drain of %5d refused background requests: %.1f ms, ratio to half as many %.2f\n",
            requests, best * 1e3, before > 0 ? best / before : 0.);
        before = best;
    }
    return 0;
}

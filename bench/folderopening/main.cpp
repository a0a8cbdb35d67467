// Opening a folder of 100,000 pictures in the gallery, and removing the folder: how long the
// GUI thread is held at a stretch (the longest time between two turns of its event loop)
// while the files come in and go, against the same at 1,000 files. A gallery that takes
// the files in slices holds the GUI thread about as long at either size; one that takes
// them in one go holds it a hundred times as long. Printed with the time of a plain listing
// of the large folder, measured here, for scale, and with the CPU time the GUI thread
// spends on closing the folder (from the call until the last row went), per file.

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <cstdio>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "bench/support/eventturns.h"
#include "engine/iresolver.h"
#include "library/activesession.h"
#include "library/session.h"

namespace {

// Every file has its headers at once, as an image service with a warm index.
class InstantResolver : public IResolver
{
public:
    InstantResolver()
        : m_names(IResolver::imageRoleNames())
    { }
    const QHash<int, QByteArray>& roleNames() const override { return m_names; }
    QMap<int, QVariant> rowFor(QUrl location) override
    {
        return { { IResolver::Location, location.toString() },
            { IResolver::Timestamp, QStringLiteral("2024-05-01T10:00:00.000") },
            { IResolver::AspectWidth, 4.0 }, { IResolver::AspectHeight, 3.0 } };
    }

private:
    QHash<int, QByteArray> m_names;
};

bool makeFiles(const QString& folder, int count)
{
    if (!QDir().mkpath(folder))
        return false;
    for (int i = 0; i < count; ++i) {
        const QByteArray name
            = QFile::encodeName(folder + QStringLiteral("/IMG_%1.vrx").arg(i, 6, 10, QChar('0')));
        const int fd = ::open(name.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    return true;
}

struct Figures
{
    double openMs = 0; // until every file is a row
    double longestOpenMs = 0; // longest stretch of the GUI thread meanwhile
    double longestGoneMs = 0; // the same while the removed folder's files go
    double longestClosedMs = 0; // the same while the files of a closed folder go
    double closeCpuMs = 0; // CPU time of the GUI thread closing the folder
    double longestClosedCpuMs = 0; // the most of it between two turns
};

// CPU time (user and system) the calling thread has used.
double threadCpuMs()
{
    rusage usage {};
    ::getrusage(RUSAGE_THREAD, &usage);
    return (double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Runs the event loop until `done`, noting the longest time between two turns (and, when
// asked, the most CPU time the thread spent between two turns: on a loaded machine the
// wall time stretches with the waits for a processor).
template <typename Done> double longestStretch(Done done, double* elapsedMs, double* longestCpuMs = nullptr)
{
    QElapsedTimer clock, sinceTurn;
    clock.start();
    sinceTurn.start();
    double longest = 0, longestCpu = 0, cpuAtTurn = threadCpuMs();
    QTimer ticker;
    ticker.setInterval(0);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = qMax(longest, double(sinceTurn.nsecsElapsed()) / 1e6);
        sinceTurn.restart();
        const double cpu = threadCpuMs();
        longestCpu = qMax(longestCpu, cpu - cpuAtTurn);
        cpuAtTurn = cpu;
    });
    ticker.start();
    while (!done() && clock.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    longest = qMax(longest, double(sinceTurn.nsecsElapsed()) / 1e6);
    if (elapsedMs)
        *elapsedMs = double(clock.nsecsElapsed()) / 1e6;
    if (longestCpuMs)
        *longestCpuMs = qMax(longestCpu, threadCpuMs() - cpuAtTurn);
    return longest;
}

Figures measure(const QString& folder, int count)
{
    Figures figures;
    InstantResolver resolver;
    Session session;
    ActiveSession gallery;
    gallery.setResolver(&resolver);
    gallery.setSortField(QStringLiteral("timestamp"));
    gallery.setSource(&session);
    bench::turn(0);
    session.offer(QUrl::fromLocalFile(folder), true);
    figures.longestOpenMs = longestStretch(
        [&] { return gallery.rowCount() == count && !session.isReading(); }, &figures.openMs);
    // The call itself runs on the GUI thread, as the user's click would.
    QElapsedTimer call;
    const double cpuBefore = threadCpuMs();
    call.start();
    session.close(QUrl::fromLocalFile(folder), true);
    const double closeCallMs = double(call.nsecsElapsed()) / 1e6;
    const double closeCallCpuMs = threadCpuMs() - cpuBefore;
    figures.longestClosedMs = qMax(closeCallMs,
        longestStretch([&] { return gallery.rowCount() == 0 && !session.isReading(); }, nullptr,
            &figures.longestClosedCpuMs));
    figures.longestClosedCpuMs = qMax(figures.longestClosedCpuMs, closeCallCpuMs);
    bench::turn(0); // what was deleted later goes too
    figures.closeCpuMs = threadCpuMs() - cpuBefore;
    session.offer(QUrl::fromLocalFile(folder), true);
    longestStretch([&] { return gallery.rowCount() == count && !session.isReading(); }, nullptr);
    QDir(folder).removeRecursively();
    figures.longestGoneMs
        = longestStretch([&] { return gallery.rowCount() == 0 && !session.isReading(); }, nullptr);
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        bench::printMessages(type, message, "OSTRA_BENCH_DIAGNOSTICS");
    });
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const int small = 1000, large = 100000;
    const QString smallFolder = dir.filePath(QStringLiteral("small"));
    const QString largeFolder = dir.filePath(QStringLiteral("large"));
    if (!makeFiles(smallFolder, small) || !makeFiles(largeFolder, large)) {
        std::fprintf(stderr, "can't make the folders\n");
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    int listed = 0;
    for (QDirIterator it(largeFolder, { QStringLiteral("*.vrx") }, QDir::Files); it.hasNext(); it.next())
        ++listed;
    const double listing = double(clock.nsecsElapsed()) / 1e6;

    const Figures a = measure(smallFolder, small);
    const Figures b = measure(largeFolder, large);
    std::printf("reference: plain listing of %d files            %10.2f ms\n", listed, listing);
    std::printf("%6d files: all rows in %10.2f ms, longest GUI stretch %8.2f ms opening, %8.2f ms closing, "
                "%8.2f ms going\n",
        small, a.openMs, a.longestOpenMs, a.longestClosedMs, a.longestGoneMs);
    std::printf("%6d files: all rows in %10.2f ms (x%.2f the listing), longest GUI stretch %8.2f ms "
                "opening, %8.2f ms closing, %8.2f ms going\n",
        large, b.openMs, b.openMs / listing, b.longestOpenMs, b.longestClosedMs, b.longestGoneMs);
    std::printf(
        "closing on the GUI thread: %6d files %8.2f ms CPU (at most %6.2f ms in a turn), %6d files %8.2f ms "
        "CPU (at most %6.2f ms in a turn); x%.2f per file\n",
        small, a.closeCpuMs, a.longestClosedCpuMs, large, b.closeCpuMs, b.longestClosedCpuMs,
        (b.closeCpuMs / large) / qMax(a.closeCpuMs / small, 1e-6));
    std::printf(
        "longest GUI stretch, 100,000 against 1,000 files: opening x%.2f, closing x%.2f, going x%.2f\n",
        b.longestOpenMs / qMax(a.longestOpenMs, 0.01), b.longestClosedMs / qMax(a.longestClosedMs, 0.01),
        b.longestGoneMs / qMax(a.longestGoneMs, 0.01));
    return 0;
}

// Resident memory of the whole application with its real main window, over generated
// folders: 30 demo-size pictures, 2,000 and 10,000 small ones. For each folder a fresh
// process opens the folder, and its resident memory is read once indexing has settled,
// after the gallery was scrolled end to end, and 15 s after switching to an empty folder.
// The reference is a fresh start on an empty folder, measured in the same run; the figures
// are the growth over it, against the memory budget (aim: at most the budget at every
// point, within 150 MB after the switch, the same cost per file at 10,000 as at 2,000).
//
// bench_gallerymemory [--quick]   (--quick: 2,000 small pictures only)
// (bench_gallerymemory --child FOLDER EMPTY runs one measurement and prints its figures)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QUrl>
#include <QtConcurrent/QtConcurrentMap>

#include <QApplication>

#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

#include "app/automationhost.h"
#include "app/rootcontext.h"
#include "app/typeregistration.h"
#include "bench/support/eventturns.h"
#include "bench/support/smallpictures.h"
#include "ciapi/ciapi.h"
#include "core/appsettings.h"
#include "core/memoryrelease.h"
#include "core/resources.h"
#include "display/imageitem.h"
#include "engine/channelorder.h"
#include "engine/imagelocator.h"
#include "library/activesession.h"
#include "tools/vrxgen/cameratree.h"
#include "tools/vrxgen/generator.h"

namespace {

using bench::residentMb;
using bench::spin;
using bench::turn;

void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    bench::printMessages(type, message, "GM_DIAG");
}

// Waits until every offered file is listed and the image service has had nothing to do
// for three seconds (its idle release comes after two); false after five minutes.
bool settle(ActiveSession& gallery, ImageLocator& locator)
{
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer quiet;
    quiet.start();
    while (clock.elapsed() < 300000) {
        turn(20);
        const bool busy = gallery.rowCount() < gallery.grossCount() || locator.pendingCount() > 0
            || QThreadPool::globalInstance()->activeThreadCount() > 0;
        if (busy)
            quiet.restart();
        else if (quiet.elapsed() > 3000)
            return true;
    }
    return false;
}

// One fresh process: the window over `folder`, then `empty`.
int child(const QString& folder, const QString& empty)
{
    AppSettings settings;
    QQmlApplicationEngine engine;
    ostra::setRootContextProperties(
        engine.rootContext(), ostra::rootContextProperties(ChannelOrder::kDefault, false));
    engine.load(QUrl::fromLocalFile(QStringLiteral(OSTRA_QML_DIR "/AppLayers/WindowMain.qml")));
    auto* window = engine.rootObjects().isEmpty()
        ? nullptr
        : qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    if (!window) {
        std::fprintf(stderr, "the window did not load\n");
        return 1;
    }
    window->resize(1280, 800);
    window->show();
    auto* gallery = window->findChild<ActiveSession*>();
    auto* locator = window->findChild<ImageLocator*>();
    auto* host = window->findChild<AutomationHost*>();
    if (!gallery || !locator || !host) {
        std::fprintf(stderr, "the window has no gallery\n");
        return 1;
    }
    spin(1000);
    QElapsedTimer clock;
    clock.start();
    host->execute({ folder });
    if (!settle(*gallery, *locator))
        std::fprintf(stderr, "indexing did not settle\n");
    const double indexed = residentMb();
    const double indexSeconds = clock.elapsed() / 1000.0;

    double peak = indexed;
    int steps = 0;
    auto* collection = window->findChild<QQuickItem*>(QStringLiteral("galleryCollection"));
    if (collection && gallery->rowCount() > 0) {
        for (int guard = 0; guard < 100000; ++guard) {
            const double y = collection->property("contentY").toDouble();
            const double end = collection->property("contentHeight").toDouble() - collection->height();
            if (y >= end)
                break;
            collection->setProperty("contentY", qMin(end, y + collection->height()));
            ++steps;
            spin(60);
            peak = qMax(peak, residentMb());
        }
    }
    settle(*gallery, *locator);
    const double scrolled = residentMb();

    int closedCount = 0;
    QObject::connect(gallery, &SpineModel::fileClosed, [&closedCount] { ++closedCount; });
    host->execute({ empty });
    spin(15000);
    if (qEnvironmentVariableIsSet("GM_DIAG")) {
        int listened = 0, shown = 0, loading = 0;
        const QStringList names = QDir(folder).entryList({ QStringLiteral("*.vrx") });
        for (const QString& name : names) {
            const QUrl url = QUrl::fromLocalFile(QDir(folder).filePath(name));
            if (!locator->hasKeeper(url))
                continue;
            const auto keeper = locator->keeperFor(url);
            listened += keeper->listenerCount() > 0 ? 1 : 0;
            shown += keeper->isShown() ? 1 : 0;
            loading += keeper->loading() ? 1 : 0;
        }
        std::fprintf(stderr, "DIAG closed %d listened %d shown %d loading %d pending %d\n", closedCount,
            listened, shown, loading, locator->pendingCount());
    }
    const double switched = residentMb();
    if (qEnvironmentVariableIsSet("GM_DIAG")) {
        MemoryRelease::returnFreeMemory();
        QList<ImageItem*> items;
        std::function<void(QQuickItem*)> walk = [&](QQuickItem* item) {
            if (auto* image = qobject_cast<ImageItem*>(item))
                items.append(image);
            for (QQuickItem* child : item->childItems())
                walk(child);
        };
        walk(window->contentItem());
        int onscreen = 0;
        for (ImageItem* item : items)
            onscreen += item->offscreen() ? 0 : 1;
        std::fprintf(stderr,
            "DIAG after trim %.1f MB, keepers %d rows %d kept %d, gross %d items %d onscreen %d\n",
            residentMb(), locator->keeperCount(), locator->rowCount(), locator->thumbnails().keptCount(),
            gallery->grossCount(), int(items.size()), onscreen);
    }
    std::printf(
        "RESULT %d %.1f %.1f %.1f %.1f %.1f\n", steps, indexed, peak, scrolled, switched, indexSeconds);
    std::fflush(stdout);
    window->close();
    return 0;
}

struct Figures
{
    bool ok = false;
    double indexed = 0, peak = 0, scrolled = 0, switched = 0, seconds = 0;
    int pages = 0;
};

Figures run(const QString& self, const QString& folder, const QString& empty)
{
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME" }) {
        const QString path = home.filePath(QString::fromLatin1(name));
        QDir().mkpath(path);
        env.insert(QString::fromLatin1(name), path);
    }
    const QString runtime = home.filePath(QStringLiteral("run"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(self, { QStringLiteral("--child"), folder, empty });
    Figures f;
    if (!process.waitForFinished(900000))
        process.kill();
    for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
        if (!line.startsWith("RESULT "))
            continue;
        const QList<QByteArray> v = line.split(' ');
        if (v.size() < 7)
            continue;
        f.pages = v[1].toInt();
        f.indexed = v[2].toDouble();
        f.peak = v[3].toDouble();
        f.scrolled = v[4].toDouble();
        f.switched = v[5].toDouble();
        f.seconds = v[6].toDouble();
        f.ok = true;
    }
    return f;
}

using bench::makeSmallPictures;

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(quietMessages);
    MemoryRelease::boundAllocator();
    const QStringList args = [&] {
        QStringList list;
        for (int i = 1; i < argc; ++i)
            list << QString::fromLocal8Bit(argv[i]);
        return list;
    }();
    if (args.value(0) == QLatin1String("--child")) {
        QApplication app(argc, argv);
        ostra::initResources();
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        const int result = child(args.value(1), args.value(2));
        QThreadPool::globalInstance()->waitForDone();
        CIAPI::StaticShutdown();
        // The window's teardown is not measured: leave at once.
        std::_Exit(result);
    }

    QCoreApplication app(argc, argv);
    const bool quick = args.contains(QStringLiteral("--quick"));
    QTemporaryDir temporary;
    const QString empty = temporary.filePath(QStringLiteral("empty"));
    QDir().mkpath(empty);
    struct Case
    {
        QString name;
        QString folder;
        int files;
    };
    std::vector<Case> cases;
    std::printf("making the folders...\n");
    std::fflush(stdout);
    if (!quick) {
        const QString demo = temporary.filePath(QStringLiteral("demo"));
        if (!vrxgen::makeDemoLibrary(QFile::encodeName(demo).toStdString(), 30)) {
            std::fprintf(stderr, "cannot make the demo library\n");
            return 1;
        }
        cases.push_back({ QStringLiteral("30 demo-size pictures"), demo, 30 });
    }
    for (const int count : quick ? std::vector<int> { 2000 } : std::vector<int> { 2000, 10000 }) {
        const QString folder = temporary.filePath(QStringLiteral("small%1").arg(count));
        if (!makeSmallPictures(folder, count)) {
            std::fprintf(stderr, "cannot make the small pictures\n");
            return 1;
        }
        cases.push_back({ QStringLiteral("%1 small pictures").arg(count), folder, count });
    }

    const QString self = QCoreApplication::applicationFilePath();
    const Figures reference = run(self, empty, empty);
    if (!reference.ok) {
        std::fprintf(stderr, "the reference run failed\n");
        return 1;
    }
    const double budget = 1024;
    const double base = reference.indexed;
    std::printf("\nmemory budget: %.0f MB (the default)\n", budget);
    std::printf("reference: fresh start on an empty folder: %.1f MB resident (15 s later: %.1f MB)   x1.00\n",
        base, reference.switched);
    std::printf("\n%-24s %8s %6s | %18s %18s %18s %18s | %s\n", "folder", "index s", "pages", "indexed",
        "scroll peak", "scrolled", "switched +15 s", "per file (indexed)");
    double perFile2k = 0;
    double perFile10k = 0;
    bool met = true;
    for (const Case& c : cases) {
        const Figures f = run(self, c.folder, empty);
        if (!f.ok) {
            std::printf("%-24s   failed\n", qPrintable(c.name));
            met = false;
            continue;
        }
        const auto cell = [&](double mb) {
            return QStringLiteral("%1 (+%2) x%3")
                .arg(mb, 0, 'f', 0)
                .arg(mb - base, 0, 'f', 0)
                .arg(mb / base, 0, 'f', 2);
        };
        const double perFile = (f.indexed - base) * 1024.0 / c.files;
        std::printf("%-24s %8.1f %6d | %18s %18s %18s %18s | %.1f KB\n", qPrintable(c.name), f.seconds,
            f.pages, qPrintable(cell(f.indexed)), qPrintable(cell(f.peak)), qPrintable(cell(f.scrolled)),
            qPrintable(cell(f.switched)), perFile);
        if (c.files == 2000)
            perFile2k = perFile;
        if (c.files == 10000)
            perFile10k = perFile;
        met = met && f.indexed - base <= budget && f.peak - base <= budget && f.scrolled - base <= budget
            && f.switched - base <= 150;
    }
    if (perFile2k > 0 && perFile10k > 0)
        std::printf("\nper-file cost at 10,000 against 2,000: x%.2f\n", perFile10k / perFile2k);
    std::printf("aim (growth within the budget at every point, within 150 MB after the switch): %s\n",
        met ? "met" : "NOT met");
    return 0;
}

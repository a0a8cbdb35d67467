// Resident memory of the whole application, with its real main window and import services,
// over repeated cycles of what a photographer does in a day with Ostra open:
//   editor  open 50 full-size pictures one after another in the editor, back to the gallery
//   scroll  scroll the gallery of 10,000 pictures from top to end
//   switch  switch between two sessions (10,000 pictures and 50 full-size ones)
//   browse  open the next 1,000 of the 10,000 pictures as a new session (pictures never
//           seen before in each cycle)
//   export  export 20 full-size pictures as full-size JPEG
//   import  import a camera's pictures (the demo camera) into a new folder, shown in the
//           gallery once imported
// Each case runs in a fresh process. Its resident memory is read once the work of a cycle
// has settled (as the process holds it, and after the allocator's free pages went back),
// and again after every further cycle. The figure watched is the memory after the last
// cycle against after the first: a process whose memory plateaus stays near x1.00, one
// that keeps something per picture seen grows with every cycle.
//
// bench_cyclememory [--quick] [--data FOLDER] [CASE...]
//   --quick: fewer cycles, 2,000 small pictures; --data: keeps the generated pictures in
//   FOLDER for the next run (made there when missing)
// (bench_cyclememory --child CASE CYCLES FOLDER... runs one case and prints its figures)

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QUrl>
#include <QtConcurrent/QtConcurrentMap>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

#include "app/automationhost.h"
#include "app/importservices.h"
#include "app/rootcontext.h"
#include "app/typeregistration.h"
#include "bench/support/eventturns.h"
#include "bench/support/smallpictures.h"
#include "capture/capturemodel.h"
#include "ciapi/ciapi.h"
#include "core/appsettings.h"
#include "core/memoryrelease.h"
#include "core/resources.h"
#include "display/imageedititem.h"
#include "engine/channelorder.h"
#include "engine/imagelocator.h"
#include "library/activesession.h"
#include "library/sessionlogger.h"
#include "pipeline/reciperouter.h"
#include "tests/support/quickitems.h"
#include "tools/vrxgen/cameratree.h"
#include "tools/vrxgen/generator.h"

namespace {

using bench::residentMb;
using bench::spin;
using bench::turn;

void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    bench::printMessages(type, message, "CM_DIAG");
}

template <typename F> bool spinUntil(F done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        turn(10);
    }
    return true;
}

struct Window
{
    QQuickWindow* window = nullptr;
    ActiveSession* gallery = nullptr;
    ImageLocator* locator = nullptr;
    AutomationHost* host = nullptr;
    SessionLogger* history = nullptr;
};

// Waits until every offered file is listed and the image service, its exports and the
// pool have had nothing to do for three seconds (the service's idle release comes after
// two); false after five minutes.
bool settle(const Window& w)
{
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer quiet;
    quiet.start();
    while (clock.elapsed() < 300000) {
        turn(20);
        const bool busy = w.gallery->rowCount() < w.gallery->grossCount() || w.locator->pendingCount() > 0
            || !w.locator->exportQueue()->isIdle() || QThreadPool::globalInstance()->activeThreadCount() > 0;
        if (busy)
            quiet.restart();
        else if (quiet.elapsed() > 3000)
            return true;
    }
    return false;
}

// With CM_SMAPS set: the resident memory of the process by kind of mapping (heap arenas,
// other anonymous mappings, mapped files by name), largest first, on standard error.
void printMappings()
{
    QFile file(QStringLiteral("/proc/self/smaps"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    QHash<QString, qint64> rss;
    QHash<QString, int> count;
    QString current;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() >= 5 && parts[0].contains('-') && !line.endsWith(':')) {
            const QByteArray name = parts.size() >= 6 ? parts[5] : QByteArray("[anonymous]");
            current = QString::fromLocal8Bit(name);
            if (current.endsWith(QLatin1String(".vrx")))
                current = QStringLiteral("*.vrx (mapped pictures)");
            ++count[current];
        } else if (line.startsWith("Rss:")) {
            rss[current] += parts.value(1).toLongLong();
        }
    }
    QList<QPair<qint64, QString>> sorted;
    for (auto it = rss.constBegin(); it != rss.constEnd(); ++it)
        sorted.append({ it.value(), it.key() });
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (int i = 0; i < qMin(12, int(sorted.size())); ++i)
        std::fprintf(stderr, "    %8.1f MB in %4d mappings: %s\n", sorted[i].first / 1024.0,
            count[sorted[i].second], qPrintable(sorted[i].second));
}

int filesUnder(const QString& folder)
{
    int count = 0;
    for (QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next())
        ++count;
    return count;
}

// `files`: what the cycle wrote (exports, imported files), for the record.
void report(const Window& w, int cycle, int files = 0)
{
    settle(w);
    const double held = residentMb();
    MemoryRelease::returnFreeMemory();
    const double trimmed = residentMb();
    if (qEnvironmentVariableIsSet("CM_SMAPS")) {
        std::fprintf(stderr, "cycle %d: %.1f MB resident, %.1f MB anonymous\n", cycle, trimmed,
            MemoryRelease::residentAnonymousBytes() / 1048576.0);
        printMappings();
    }
    std::printf("CYCLE %d %.1f %.1f %d %d %d %d\n", cycle, held, trimmed, w.locator->keeperCount(),
        w.locator->rowCount(), w.locator->thumbnails().keptCount(), files);
    std::fflush(stdout);
}

QList<QUrl> listed(const ActiveSession& gallery, int most)
{
    QList<QUrl> urls;
    for (int row = 0; row < gallery.rowCount() && urls.size() < most; ++row)
        urls.append(gallery.urlAt(row));
    return urls;
}

bool open(const Window& w, const QStringList& locations)
{
    w.host->execute(locations);
    return settle(w);
}

void scrollThrough(const Window& w)
{
    auto* collection = w.window->findChild<QQuickItem*>(QStringLiteral("galleryCollection"));
    if (!collection)
        return;
    for (int guard = 0; guard < 100000; ++guard) {
        const double y = collection->property("contentY").toDouble();
        const double end = collection->property("contentHeight").toDouble() - collection->height();
        if (y >= end)
            break;
        collection->setProperty("contentY", qMin(end, y + collection->height()));
        spin(60);
    }
    collection->setProperty("contentY", 0.0);
}

bool openInEditor(const Window& w, const QUrl& url)
{
    w.window->setProperty("editorLocation", url.toString());
    const bool shown = spinUntil(
        [&] {
            auto* canvas = w.window->findChild<ImageEditItem*>();
            return canvas && canvas->captureKnown() && !canvas->loading();
        },
        120000);
    spin(300);
    // Escape: back to the gallery.
    w.window->setProperty("editorLocation", QString());
    spinUntil([&] { return !w.window->findChild<ImageEditItem*>(); }, 20000);
    return shown;
}

int child(const QString& what, int cycles, const QStringList& folders)
{
    AppSettings settings;
    ImportServices imports(AppSettings::recipesDatabase(), ImportServices::deviceManagers());
    QQmlApplicationEngine engine;
    ostra::setRootContextProperties(
        engine.rootContext(), ostra::rootContextProperties(ChannelOrder::kDefault, false));
    imports.expose(engine.rootContext());
    engine.load(QUrl::fromLocalFile(QStringLiteral(OSTRA_QML_DIR "/AppLayers/WindowMain.qml")));
    Window w;
    w.window = engine.rootObjects().isEmpty()
        ? nullptr
        : qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    if (!w.window) {
        std::fprintf(stderr, "the window did not load\n");
        return 1;
    }
    w.window->resize(1280, 800);
    w.window->show();
    imports.start();
    w.gallery = w.window->findChild<ActiveSession*>();
    w.locator = w.window->findChild<ImageLocator*>();
    w.host = w.window->findChild<AutomationHost*>();
    w.history = w.window->findChild<SessionLogger*>();
    if (!w.gallery || !w.locator || !w.host || !w.history) {
        std::fprintf(stderr, "the window has no gallery\n");
        return 1;
    }
    spin(1000);
    std::printf("START %.1f\n", residentMb());

    if (what == QLatin1String("editor")) {
        open(w, { folders.value(0) });
        const QList<QUrl> urls = listed(*w.gallery, 50);
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            int failed = 0;
            for (const QUrl& url : urls)
                failed += openInEditor(w, url) ? 0 : 1;
            if (failed)
                std::fprintf(stderr, "%d pictures did not show in the editor\n", failed);
            report(w, cycle);
        }
    } else if (what == QLatin1String("scroll")) {
        open(w, { folders.value(0) });
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            scrollThrough(w);
            report(w, cycle);
        }
    } else if (what == QLatin1String("switch")) {
        open(w, { folders.value(0) });
        const int first = w.history->activeId();
        open(w, { folders.value(1) });
        const int second = w.history->activeId();
        if (first == second) {
            std::fprintf(stderr, "the second folder did not open a session of its own\n");
            return 1;
        }
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            w.history->setActiveId(cycle % 2 ? first : second);
            report(w, cycle);
        }
    } else if (what == QLatin1String("browse")) {
        QStringList files;
        const QDir folder(folders.value(0));
        for (const QString& name : folder.entryList({ QStringLiteral("*.vrx") }, QDir::Files, QDir::Name))
            files.append(folder.filePath(name));
        const int each = qMax(1, int(files.size()) / qMax(1, cycles));
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            open(w, files.mid((cycle - 1) * each, each));
            scrollThrough(w);
            report(w, cycle);
        }
    } else if (what == QLatin1String("export")) {
        open(w, { folders.value(0) });
        const QList<QUrl> urls = listed(*w.gallery, 20);
        const QString target = folders.value(1);
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            // Full size, JPEG, high quality: the dialog's third size.
            w.locator->exportImageList(
                urls, 1, 0, Export::Level, QUrl::fromLocalFile(target), QString(), true);
            spinUntil(
                [&] { return w.locator->exportListsPending() == 0 && w.locator->exportQueue()->isIdle(); },
                600000);
            report(w, cycle, filesUnder(target));
            QDir(target).removeRecursively();
        }
    } else if (what == QLatin1String("import")) {
        // The camera's page, made by a repeater once the camera is listed.
        CaptureModel* capture = nullptr;
        spinUntil(
            [&] {
                QQuickItem* page = ostra::test::findItem(w.window, QStringLiteral("devicePage"));
                capture = page ? page->findChild<CaptureModel*>() : nullptr;
                return capture != nullptr;
            },
            30000);
        if (!capture) {
            std::fprintf(stderr, "no camera\n");
            return 1;
        }
        // The camera's tab, as the user opens it.
        ostra::test::clickItem(ostra::test::findItem(w.window, QStringLiteral("deviceTab")));
        if (!spinUntil([&] { return capture->correlated(); }, 60000)) {
            std::fprintf(stderr, "the camera's pictures were not listed\n");
            return 1;
        }
        RecipeRouter* router = &imports.router;
        int completed = 0;
        QObject::connect(router, &RecipeRouter::sessionCompleted, [&completed] { ++completed; });
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            capture->selectAll();
            capture->setImportFolder(
                QUrl::fromLocalFile(QDir(folders.value(0)).filePath(QString::number(cycle))));
            const QList<QUrl> files = capture->transfer(false);
            // "Show in the gallery once imported".
            QVariantList shown;
            for (const QUrl& url : files)
                shown.append(url);
            QMetaObject::invokeMethod(w.window, "openWhenImported", Q_ARG(QVariant, QVariant(shown)));
            if (!spinUntil([&] { return completed >= cycle; }, 600000))
                std::fprintf(stderr, "import %d did not complete\n", cycle);
            report(w, cycle, filesUnder(QDir(folders.value(0)).filePath(QString::number(cycle))));
        }
    }
    std::fflush(stdout);
    w.window->close();
    return 0;
}

struct Figures
{
    bool ok = false;
    double start = 0;
    std::vector<double> held, trimmed;
    std::vector<int> keepers, rows, kept, files;
};

Figures run(
    const QString& self, const QString& what, int cycles, const QStringList& folders, const QString& camera)
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
    if (!camera.isEmpty())
        env.insert(QStringLiteral("OSTRA_DEMO_CAMERA"), camera);
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(self, QStringList { QStringLiteral("--child"), what, QString::number(cycles) } + folders);
    Figures f;
    if (!process.waitForFinished(3600000))
        process.kill();
    for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> v = line.split(' ');
        if (line.startsWith("START ") && v.size() >= 2)
            f.start = v[1].toDouble();
        if (!line.startsWith("CYCLE ") || v.size() < 8)
            continue;
        f.held.push_back(v[2].toDouble());
        f.trimmed.push_back(v[3].toDouble());
        f.keepers.push_back(v[4].toInt());
        f.rows.push_back(v[5].toInt());
        f.kept.push_back(v[6].toInt());
        f.files.push_back(v[7].toInt());
    }
    f.ok = int(f.held.size()) == cycles;
    return f;
}

using bench::makeSmallPictures;

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(quietMessages);
    MemoryRelease::boundAllocator();
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.value(0) == QLatin1String("--child")) {
        QApplication app(argc, argv);
        ostra::initResources();
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        const int result = child(args.value(1), args.value(2).toInt(), args.mid(3));
        QThreadPool::globalInstance()->waitForDone();
        CIAPI::StaticShutdown();
        // The window's teardown is not measured: leave at once.
        std::_Exit(result);
    }

    QCoreApplication app(argc, argv);
    const bool quick = args.removeAll(QStringLiteral("--quick")) > 0;
    QTemporaryDir temporary;
    const int dataAt = args.indexOf(QStringLiteral("--data"));
    QString data = temporary.path();
    if (dataAt >= 0) {
        data = QDir(args.value(dataAt + 1)).absolutePath();
        args.erase(args.begin() + dataAt, args.begin() + qMin(args.size(), dataAt + 2));
    }
    const QStringList all { QStringLiteral("editor"), QStringLiteral("scroll"), QStringLiteral("switch"),
        QStringLiteral("browse"), QStringLiteral("export"), QStringLiteral("import") };
    const QStringList cases = args.isEmpty() ? all : args;
    for (const QString& name : cases) {
        if (!all.contains(name)) {
            std::fprintf(
                stderr, "unknown case %s (cases: %s)\n", qPrintable(name), qPrintable(all.join(' ')));
            return 2;
        }
    }

    const int smallCount = quick ? 2000 : 10000;
    const QString demo = data + QStringLiteral("/demo");
    const QString small = data + QStringLiteral("/small%1").arg(smallCount);
    const QString camera = data + QStringLiteral("/camera");
    const QString out = temporary.filePath(QStringLiteral("out"));
    // Made once into a folder that is marked complete.
    const auto make = [](const QString& folder, const std::function<bool()>& maker) {
        const QString mark = folder + QStringLiteral("/.complete");
        if (QFile::exists(mark))
            return true;
        QDir(folder).removeRecursively();
        if (!maker())
            return false;
        QFile file(mark);
        return file.open(QIODevice::WriteOnly);
    };
    std::printf("making the pictures...\n");
    std::fflush(stdout);
    const bool needDemo = cases.contains(QStringLiteral("editor")) || cases.contains(QStringLiteral("switch"))
        || cases.contains(QStringLiteral("export"));
    if (needDemo
        && !make(demo, [&] { return vrxgen::makeDemoLibrary(QFile::encodeName(demo).toStdString(), 50); })) {
        std::fprintf(stderr, "cannot make the demo library\n");
        return 1;
    }
    const bool needSmall = cases.contains(QStringLiteral("scroll"))
        || cases.contains(QStringLiteral("switch")) || cases.contains(QStringLiteral("browse"));
    if (needSmall && !make(small, [&] { return makeSmallPictures(small, smallCount); })) {
        std::fprintf(stderr, "cannot make the small pictures\n");
        return 1;
    }
    if (cases.contains(QStringLiteral("import")) && !make(camera, [&] {
            vrxgen::TreeOptions options;
            options.pictures = 50;
            options.videos = 0;
            return vrxgen::makeCameraTree(QFile::encodeName(camera).toStdString(), options);
        })) {
        std::fprintf(stderr, "cannot make the camera\n");
        return 1;
    }

    struct Case
    {
        QString name;
        QString title;
        int cycles;
        QStringList folders;
        QString camera;
        // Cycles that end in the same state: switching comes back to a session every
        // second cycle.
        int period = 1;
    };
    std::vector<Case> plan;
    for (const QString& name : cases) {
        if (name == QLatin1String("editor"))
            plan.push_back(
                { name, QStringLiteral("50 pictures in the editor"), quick ? 2 : 4, { demo }, {} });
        else if (name == QLatin1String("scroll"))
            plan.push_back({ name, QStringLiteral("scroll %1 pictures").arg(smallCount), 5, { small }, {} });
        else if (name == QLatin1String("switch"))
            plan.push_back(
                { name, QStringLiteral("switch sessions"), quick ? 6 : 20, { small, demo }, {}, 2 });
        else if (name == QLatin1String("browse"))
            plan.push_back(
                { name, QStringLiteral("browse %1 new each time").arg(smallCount / 10), 10, { small }, {} });
        else if (name == QLatin1String("export"))
            plan.push_back({ name, QStringLiteral("export 20 pictures"), quick ? 2 : 5, { demo, out }, {} });
        else if (name == QLatin1String("import"))
            plan.push_back(
                { name, QStringLiteral("import 50 from a camera"), quick ? 3 : 10, { out }, camera });
    }

    const QString self = QCoreApplication::applicationFilePath();
    std::printf("\nresident MB after each cycle once settled (held / after the free pages went back)\n");
    std::printf("%-26s %7s | %17s %17s | %8s %8s | %s\n", "case", "start", "after cycle 1", "after last",
        "last/1st", "trimmed", "per cycle after the 1st");
    for (const Case& c : plan) {
        QDir(out).removeRecursively();
        const Figures f = run(self, c.name, c.cycles, c.folders, c.camera);
        if (f.held.empty()) {
            std::printf("%-26s   failed\n", qPrintable(c.title));
            continue;
        }
        const size_t last = (f.held.size() - 1) / size_t(c.period) * size_t(c.period);
        const double perCycle = last > 0 ? (f.trimmed[last] - f.trimmed[0]) / double(last) : 0.0;
        std::printf("%-26s %7.0f | %8.0f /%7.0f %8.0f /%7.0f | x%7.2f x%7.2f | %+.1f MB%s\n",
            qPrintable(c.title), f.start, f.held[0], f.trimmed[0], f.held[last], f.trimmed[last],
            f.held[last] / f.held[0], f.trimmed[last] / f.trimmed[0], perCycle, f.ok ? "" : "  (cut short)");
        if (qEnvironmentVariableIsSet("CM_DIAG")) {
            for (size_t i = 0; i < f.held.size(); ++i)
                std::printf("    cycle %zu: %.1f / %.1f MB, keepers %d, rows %d, kept pictures %d, files "
                            "written %d\n",
                    i + 1, f.held[i], f.trimmed[i], f.keepers[i], f.rows[i], f.kept[i], f.files[i]);
        }
        std::fflush(stdout);
    }
    return 0;
}

// A whole export of a 13 MP picture to JPEG Q88 beside the same pixels encoded by
// libjpeg-turbo alone and by `vips copy` (when installed), each in a process of its own so
// that its peak memory (the child's maximum resident set) is its own. Prints ratios:
//   whole export / (develop alone + libjpeg-turbo encode)          aim <= 1.5
//   export after the develop (turn, scale, encode, write) / vips   aim <= 1
//   export memory beyond the developed raw data, bytes per output pixel   aim <= 8
// The export the export queue runs (depth computed, refocused, high fidelity: JPEG Q95 with
// full chroma) is measured the same way against the same refocused develop rendered once
// plus libjpeg-turbo (and `cjpeg` and `vips` when installed) on its pixels at Q95 4:4:4, each
// at the same number of CPUs (one, and all), with its peak memory, its memory beyond the
// decoded raw data, and what the process still holds once the picture is let go. Scaling is
// judged by CPU time, which a loaded machine disturbs less than wall time: the CPU time at
// all CPUs against one (work inflation, aim near 1.0), the time during which at most one
// thread worked (serial time), and the share of the CPUs busy (threads that run or wait for a
// CPU, sampled every millisecond) with the share of the time fewer threads than CPUs could
// run, from which a speed-up on a quiet machine is estimated, and the threads that could run in
// each tenth of the export (where they wait); the medians of three runs at one CPU and of five
// at all.
// `bench_export --demo` also exports the demo's largest picture (28 mm) as the plain export
// and through the queue's path on 8 CPUs and prints the peaks (aim under 600 MiB). The
// parent stays small; children are this program run again.
// OSTRA_BENCH_THREADS=n sets the engine's pool size (default: the CPUs the process may use).
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <turbojpeg.h>

#include "ciapi/ciapi.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/renderer.h"
#include "ciapi/tuning.h"
#include "tools/vrxgen/generator.h"

using namespace CIAPI;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Peak resident set of this process so far, in MiB.
double peakMiB()
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

std::vector<uint8_t> readAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Resident set of this process now, in MiB.
double residentMiB()
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// User and system CPU time of the whole process so far, in seconds.
double cpuSeconds()
{
    rusage use {};
    getrusage(RUSAGE_SELF, &use);
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec)
        + double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Counts, every millisecond while it lives, the process's threads that run or wait for a CPU
// (state R in /proc/self/task/*/stat), itself left out; serial() is the wall time of the
// samples in which at most one was: one thread at work while the others wait for it. Other
// load on the machine does not change the count (a thread waiting for a CPU still counts).
// With `cpus`, it also sums the CPUs left idle: in each sample, `cpus` less the threads that
// could run (none below zero), times the sample's time; idle() is that sum over `cpus`, the
// time the export would take beyond its CPU time over `cpus` on a quiet machine.
// OSTRA_BENCH_TIMELINE=file writes each sample's time and count there.
class SerialMeter
{
public:
    explicit SerialMeter(int cpus = 1)
        : m_cpus(std::max(1, cpus))
        , m_thread([this] { loop(); })
    { }
    ~SerialMeter() { stop(); }
    // Stops; returns the serial time.
    double stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_serial;
    }
    // Wall time the `cpus` were idle, over `cpus` (after stop()).
    double idle() const { return m_idle / m_cpus; }
    // Wall time during which fewer than `cpus` threads could run (after stop()).
    double under() const { return m_under; }
    // Wall time measured (after stop()).
    double wall() const { return m_wall; }
    // CPU time the meter itself used (to be taken off the process's).
    double ownCpu() const { return m_ownCpu; }
    // Of the wall time from `from` to `to` (after stop()): the time measured, and the part of it
    // during which fewer than `cpus` threads could run.
    std::pair<double, double> underBetween(Clock::time_point from, Clock::time_point to) const
    {
        double wall = 0, under = 0;
        for (size_t i = 0; i < m_timeline.size(); ++i) {
            const auto& [t, n] = m_timeline[i];
            if (t < from || t >= to)
                continue;
            const double dt
                = std::chrono::duration<double>(t - (i > 0 ? m_timeline[i - 1].first : m_start)).count();
            wall += dt;
            if (n < m_cpus)
                under += dt;
        }
        return { wall, under };
    }

    // The threads that could run (at most `cpus`), on average over each of `parts` equal parts
    // of the wall time from `from` to `to` (after stop()): where in the export threads wait.
    std::vector<double> atWork(Clock::time_point from, Clock::time_point to, int parts) const
    {
        std::vector<double> sum(size_t(parts), 0.0), wall(size_t(parts), 0.0);
        const double span = std::chrono::duration<double>(to - from).count();
        for (size_t i = 0; span > 0 && i < m_timeline.size(); ++i) {
            const auto& [t, n] = m_timeline[i];
            if (t < from || t >= to)
                continue;
            const double dt
                = std::chrono::duration<double>(t - (i > 0 ? m_timeline[i - 1].first : m_start)).count();
            const auto k = size_t(
                std::min(parts - 1, int(std::chrono::duration<double>(t - from).count() / span * parts)));
            sum[k] += dt * std::min(n, m_cpus);
            wall[k] += dt;
        }
        for (size_t k = 0; k < sum.size(); ++k)
            sum[k] = wall[k] > 0 ? sum[k] / wall[k] : 0.0;
        return sum;
    }

private:
    static int runningThreads(pid_t self)
    {
        int n = 0;
        if (DIR* dir = opendir("/proc/self/task")) {
            while (const dirent* e = readdir(dir)) {
                if (e->d_name[0] == '.' || std::atoi(e->d_name) == self)
                    continue;
                char path[300], text[512];
                std::snprintf(path, sizeof path, "/proc/self/task/%s/stat", e->d_name);
                const int fd = ::open(path, O_RDONLY);
                if (fd < 0)
                    continue;
                const ssize_t k = read(fd, text, sizeof text - 1);
                close(fd);
                if (k <= 0)
                    continue;
                text[k] = 0;
                const char* state = std::strrchr(text, ')');
                if (state && state[1] == ' ' && state[2] == 'R')
                    ++n;
            }
            closedir(dir);
        }
        return n;
    }
    void loop()
    {
        const pid_t self = pid_t(syscall(SYS_gettid));
        std::vector<std::pair<double, int>> timeline;
        const auto t0 = Clock::now();
        m_start = t0;
        auto wall = t0;
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const int running = runningThreads(self);
            const auto w = Clock::now();
            const double dt = std::chrono::duration<double>(w - wall).count();
            if (running <= 1)
                m_serial += dt;
            m_idle += dt * std::max(0, m_cpus - running);
            if (running < m_cpus)
                m_under += dt;
            m_wall += dt;
            timeline.push_back({ std::chrono::duration<double>(w - t0).count(), running });
            m_timeline.push_back({ w, running });
            wall = w;
        }
        if (const char* path = std::getenv("OSTRA_BENCH_TIMELINE")) {
            if (FILE* f = std::fopen(path, "w")) {
                timespec a;
                clock_gettime(CLOCK_MONOTONIC, &a);
                std::fprintf(f, "# %.4f\n",
                    a.tv_sec + a.tv_nsec / 1e9 - std::chrono::duration<double>(Clock::now() - t0).count());
                for (const auto& [t, n] : timeline)
                    std::fprintf(f, "%.4f %d\n", t, n);
                std::fclose(f);
            }
        }
        timespec t {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        m_ownCpu = double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    }

    const int m_cpus;
    std::atomic<bool> m_stop { false };
    double m_serial = 0;
    double m_idle = 0;
    double m_under = 0;
    double m_wall = 0;
    double m_ownCpu = 0;
    Clock::time_point m_start;
    std::vector<std::pair<Clock::time_point, int>> m_timeline; // each sample's time and count
    std::thread m_thread;
};

// `queue`: as the export queue opens a picture: its depth computed (and with it the
// refocus of the default depth of field), high fidelity (JPEG Q95, full chroma).
std::shared_ptr<Renderer> openPicture(const std::vector<uint8_t>& vrx, bool queue = false)
{
    // The queue's renderer is a depth editor's (profile 3) with the service's tuning.
    auto r = Renderer::Create(queue ? 3 : 0);
    r->setInputDataStream(vrx.data(), vrx.size());
    ApplyTuning(queue ? 1 : 0, *r);
    r->setProperty(IntParam::ExportColorSpace, 4);
    if (queue) {
        r->setProperty(IntParam::EagerDepth, 1);
        r->setProperty(IntParam::HighFidelity, 1);
    }
    return r;
}

bool exportTo(Renderer& r, const std::string& path, ExportImageFormat format,
    std::function<void(int)> progress = nullptr)
{
    auto out = std::make_shared<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    const ImagePyramid p = r.outputBuffer();
    return r.writeImage(out, { p[0].width(), p[0].height() }, format, progress) && out->good();
}

// ---- children: each prints "seconds [seconds] peak-MiB" on stdout ----

int childPrepare(const std::string& dir, int focal)
{
    vrxgen::PictureOptions o;
    o.focalLength = focal;
    o.moduleWidth = 2080;
    o.moduleHeight = 1560;
    o.frames = 2;
    o.compressed = true;
    const vrxgen::Picture pic = vrxgen::makePicture(o);
    if (!vrxgen::writeFile(dir + "/pic.vrx", pic.vrx))
        return 1;
    if (focal == 150) { // the same pixels for the other encoders
        auto r = openPicture(pic.vrx);
        if (!exportTo(*r, dir + "/pic.ppm", ExportPPM))
            return 1;
    }
    return 0;
}

// The queue's develop rendered once: the refocused picture as raw pixels (the reference's
// first part, and the other encoders' input). Prints its time and peak.
int childQueueDevelop(const std::string& dir)
{
    const std::vector<uint8_t> vrx = readAll(dir + "/pic.vrx");
    auto r = openPicture(vrx, true);
    const auto t0 = Clock::now();
    const double c0 = cpuSeconds();
    if (!exportTo(*r, dir + "/queue.ppm", ExportPPM))
        return 1;
    std::printf("%.4f 0 %.1f 0 %.4f 0\n", since(t0), peakMiB(), cpuSeconds() - c0);
    return 0;
}

// The export the queue runs; prints its time, its peak, what the process still holds once the
// picture is let go, its CPU time and its serial time. With `decodedFirst`, the picture's raw
// data is decoded (and its depth computed) by a render of the coarsest level first: the
// second figure is then the peak before the export, and the first the export alone.
int childQueueExport(const std::string& dir, bool decodedFirst)
{
    const std::vector<uint8_t> vrx = readAll(dir + "/pic.vrx");
    auto r = openPicture(vrx, true);
    double base = 0;
    if (decodedFirst) {
        const ImagePyramid p = r->outputBuffer();
        r->render(p.levelCount() - 1, ROI { 0, 0, 1, 1 }, 1, true);
        base = peakMiB();
    }
    const auto t0 = Clock::now();
    const double c0 = cpuSeconds();
    SerialMeter meter(render::WorkerPool::instance().threadCount());
    // The export's reports (0 first, then one after each group of bands written, 100 last) cut
    // it in three: until the first group is written (the raw data decoded, depth computed, the
    // first group's rows made and the group rendered), the other groups, and the end (the
    // encoder's last rows, the file closed).
    Clock::time_point firstGroup = t0, lastGroup = t0;
    const auto progress = [&](int p) {
        if (p <= 0 || p >= 100)
            return;
        if (firstGroup == t0)
            firstGroup = Clock::now();
        lastGroup = Clock::now();
    };
    if (!exportTo(*r, dir + "/queue.jpg", ExportJPEG, progress))
        return 1;
    const auto t1 = Clock::now();
    const double seconds = since(t0), serial = meter.stop(), cpu = cpuSeconds() - c0 - meter.ownCpu();
    r.reset(); // as the queue lets go of the picture once it is written
    std::printf("%.4f %.1f %.1f %.1f %.4f %.4f %.4f %.4f", seconds, base, peakMiB(), residentMiB(), cpu,
        serial, meter.wall() > 0 ? 1.0 - meter.idle() / meter.wall() : 1.0,
        meter.wall() > 0 ? meter.under() / meter.wall() : 0.0);
    // Each part's wall time and the time in it during which fewer threads than CPUs could run.
    for (const auto& [from, to] :
        { std::pair { t0, firstGroup }, std::pair { firstGroup, lastGroup }, std::pair { lastGroup, t1 } }) {
        const auto [wall, under] = meter.underBetween(from, to);
        std::printf(" %.4f %.4f", wall, under);
    }
    // The threads at work in each tenth of the export.
    for (const double n : meter.atWork(t0, t1, 10))
        std::printf(" %.2f", n);
    std::printf("\n");
    return 0;
}

// mode 0: the whole export from a fresh open; 1: the picture's raw data decoded first (a
// render of the coarsest level), then the export; 2: level 0 developed first (the develop
// alone), then the export (its part after the develop). Prints the first and second times,
// the peak and the peak before the export.
int childExport(const std::string& dir, int mode, int orientation)
{
    const std::vector<uint8_t> vrx = readAll(dir + "/pic.vrx");
    auto r = openPicture(vrx);
    if (orientation)
        r->transform().reset(orientation);
    const auto t0 = Clock::now();
    double before = 0, base = 0;
    if (mode > 0) {
        const ImagePyramid p = r->outputBuffer();
        r->render(mode == 1 ? p.levelCount() - 1 : 0, ROI { 0, 0, 1, 1 }, 1, true);
        before = since(t0);
        base = peakMiB();
    }
    const auto t1 = Clock::now();
    if (!exportTo(*r, dir + "/out.jpg", ExportJPEG))
        return 1;
    std::printf("%.4f %.4f %.1f %.1f\n", mode ? before : since(t0), since(t1), peakMiB(), base);
    return 0;
}

int childTurbo(const std::string& dir, bool queue)
{
    // P6 header "P6\n<w> <h>\n255\n" then RGB.
    const std::vector<uint8_t> ppm = readAll(dir + (queue ? "/queue.ppm" : "/pic.ppm"));
    int w = 0, h = 0, n = 0;
    if (std::sscanf(reinterpret_cast<const char*>(ppm.data()), "P6 %d %d 255%n", &w, &h, &n) != 2)
        return 1;
    const uint8_t* rgb = ppm.data() + n + 1;
    const auto t0 = Clock::now();
    tjhandle tj = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    tjCompress2(tj, rgb, w, 0, h, TJPF_RGB, &buf, &size, queue ? TJSAMP_444 : TJSAMP_420, queue ? 95 : 88, 0);
    std::ofstream(dir + "/turbo.jpg", std::ios::binary).write(reinterpret_cast<char*>(buf), long(size));
    tjFree(buf);
    tjDestroy(tj);
    std::printf("%.4f 0 %.1f 0\n", since(t0), peakMiB());
    return 0;
}

// ---- parent ----

struct Run
{
    double seconds = 1e30, second = 1e30, peak = 0, base = 0, cpu = 1e30, serial = 1e30;
    // The share of the CPUs busy, and of the time fewer threads than CPUs could run
    // (queue-export only).
    double busy = 0, under = 0;
    // Until the first group of bands is written, the other groups, the end: each one's wall
    // time and the time in it during which fewer threads than CPUs could run (queue-export).
    double part[3] = { 0, 0, 0 }, partUnder[3] = { 0, 0, 0 };
    // The threads at work in each tenth of the export (queue-export).
    double tenth[10] = {};
    bool ok = false;
};

// The median of each figure of `runs` (their peaks: the largest).
Run medianOf(std::vector<Run> runs)
{
    Run m;
    if (runs.empty())
        return m;
    auto median = [&](double Run::*field) {
        std::vector<double> v;
        for (const Run& r : runs)
            v.push_back(r.*field);
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    };
    m.ok = true;
    m.seconds = median(&Run::seconds);
    m.second = median(&Run::second);
    m.cpu = median(&Run::cpu);
    m.serial = median(&Run::serial);
    m.busy = median(&Run::busy);
    m.under = median(&Run::under);
    for (int k = 0; k < 3; ++k) {
        std::vector<double> w, u;
        for (const Run& r : runs) {
            w.push_back(r.part[k]);
            u.push_back(r.partUnder[k]);
        }
        std::sort(w.begin(), w.end());
        std::sort(u.begin(), u.end());
        m.part[k] = w[w.size() / 2];
        m.partUnder[k] = u[u.size() / 2];
    }
    for (int k = 0; k < 10; ++k) {
        std::vector<double> v;
        for (const Run& r : runs)
            v.push_back(r.tenth[k]);
        std::sort(v.begin(), v.end());
        m.tenth[k] = v[v.size() / 2];
    }
    for (const Run& r : runs) {
        m.peak = std::max(m.peak, r.peak);
        m.base = std::max(m.base, r.base);
    }
    return m;
}

// Runs argv, best time of `runs` (with `median`, the median of each figure); the peak from the
// child itself when it reports one, else from its resource usage.
Run runChild(const std::vector<std::string>& args, int runs, bool reports, bool median = false)
{
    Run best;
    std::vector<Run> all;
    for (int i = 0; i < runs; ++i) {
        int fds[2];
        if (pipe(fds) != 0)
            return best;
        const auto t0 = Clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            if (!reports) {
                const int null = ::open("/dev/null", O_WRONLY);
                dup2(null, 2);
            }
            std::vector<char*> argv;
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string text;
        char buf[256];
        for (ssize_t k; (k = read(fds[0], buf, sizeof buf)) > 0;)
            text.append(buf, size_t(k));
        close(fds[0]);
        int status = 0;
        rusage use {};
        wait4(pid, &status, 0, &use);
        const double wall = since(t0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return best;
        Run r;
        r.ok = true;
        if (reports) {
            std::istringstream line(text);
            line >> r.seconds >> r.second >> r.peak >> r.base >> r.cpu >> r.serial >> r.busy >> r.under;
            for (int k = 0; k < 3; ++k)
                line >> r.part[k] >> r.partUnder[k];
            for (double& n : r.tenth)
                line >> n;
        } else {
            r.seconds = wall;
            r.peak = use.ru_maxrss / 1024.0;
            r.cpu = double(use.ru_utime.tv_sec + use.ru_stime.tv_sec)
                + double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
        }
        all.push_back(r);
        best.ok = true;
        best.seconds = std::min(best.seconds, r.seconds);
        best.second = std::min(best.second, r.second);
        best.peak = std::max(best.peak, r.peak);
        best.base = std::max(best.base, r.base);
        best.cpu = std::min(best.cpu, r.cpu);
        best.serial = std::min(best.serial, r.serial);
        best.busy = std::max(best.busy, r.busy);
        best.under = i == 0 ? r.under : std::min(best.under, r.under);
    }
    return median ? medianOf(all) : best;
}

bool haveVips()
{
    return std::system("command -v vips >/dev/null 2>&1") == 0;
}

bool haveCjpeg()
{
    return std::system("command -v cjpeg >/dev/null 2>&1") == 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string self = argv[0];
    if (const char* threads = std::getenv("OSTRA_BENCH_THREADS")) // the pool's size, for comparisons
        render::WorkerPool::instance().setThreadLimit(std::atoi(threads));
    if (argc >= 3 && std::string(argv[1]) == "--child") {
        const std::string what = argv[2], dir = argc > 3 ? argv[3] : ".";
        int rc = 1;
        if (what == "prepare")
            rc = childPrepare(dir, argc > 4 ? std::atoi(argv[4]) : 150);
        else if (what == "export" || what == "decoded" || what == "develop")
            rc = childExport(dir,
                what == "export"        ? 0
                    : what == "decoded" ? 1
                                        : 2,
                argc > 4 ? std::atoi(argv[4]) : 0);
        else if (what == "turbo" || what == "turbo-queue")
            rc = childTurbo(dir, what == "turbo-queue");
        else if (what == "queue-develop")
            rc = childQueueDevelop(dir);
        else if (what == "queue-export" || what == "queue-decoded")
            rc = childQueueExport(dir, what == "queue-decoded");
        StaticShutdown();
        return rc;
    }
    const bool demo = argc > 1 && std::string(argv[1]) == "--demo";
    char tmpl[] = "/tmp/bench_export_XXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    if (!runChild({ self, "--child", "prepare", dir, "150" }, 1, false).ok) {
        std::printf("could not make the picture\n");
        return 1;
    }
    const double mp = 4160.0 * 3120.0 / 1e6;
    const int runs = 3;
    const Run whole = runChild({ self, "--child", "export", dir, "0" }, runs, true);
    const Run split = runChild({ self, "--child", "develop", dir, "0" }, runs, true);
    const Run decoded = runChild({ self, "--child", "decoded", dir, "0" }, 1, true);
    const Run turned = runChild({ self, "--child", "decoded", dir, "1" }, 1, true);
    const Run turbo = runChild({ self, "--child", "turbo", dir }, runs, true);
    Run vips;
    if (haveVips())
        vips = runChild({ "vips", "copy", dir + "/pic.ppm", dir + "/vips.jpg[Q=88]" }, runs, false);

    std::printf("export of 4160 x 3120 (%.1f MP) to JPEG Q88; best of %d runs, one process each\n", mp, runs);
    std::printf("  whole export     %.3f s  peak %.0f MiB\n", whole.seconds, whole.peak);
    std::printf("  develop alone    %.3f s, then the export %.3f s\n", split.seconds, split.second);
    std::printf("  libjpeg-turbo    %.3f s  peak %.0f MiB\n", turbo.seconds, turbo.peak);
    if (vips.ok)
        std::printf("  vips copy        %.3f s  peak %.0f MiB (whole process)\n", vips.seconds, vips.peak);
    else
        std::printf("  vips copy        n/a (no vips)\n");
    std::printf("whole export / (develop + libjpeg-turbo encode): %.2fx (aim <= 1.5)\n",
        whole.seconds / (split.seconds + turbo.seconds));
    if (vips.ok) {
        std::printf(
            "export after develop / vips copy: %.2fx time (aim <= 1); whole export / vips: %.2fx peak "
            "memory\n",
            split.second / vips.seconds, whole.peak / vips.peak);
    } else {
        std::printf("export after develop / vips copy: n/a\n");
    }
    std::printf("export after develop / libjpeg-turbo encode: %.2fx\n", split.second / turbo.seconds);
    std::printf("memory beyond the decoded raw data: %.2f bytes per output pixel upright, %.2f turned "
                "(aim <= 8)\n",
        (decoded.peak - decoded.base) * 1048576.0 / (mp * 1e6),
        (turned.peak - turned.base) * 1048576.0 / (mp * 1e6));

    // The export the queue runs, against its develop rendered once plus the encoders, each at
    // the same number of CPUs.
    const char* threadLimit = std::getenv("OSTRA_BENCH_THREADS");
    auto useCpus = [&](bool one) {
        if (one)
            setenv("OSTRA_BENCH_THREADS", "1", 1);
        else if (threadLimit)
            setenv("OSTRA_BENCH_THREADS", threadLimit, 1);
        else
            unsetenv("OSTRA_BENCH_THREADS");
    };
    const int allCpus = threadLimit ? std::atoi(threadLimit) : render::WorkerPool::instance().threadCount();
    useCpus(true);
    const Run queueDevelopOne = runChild({ self, "--child", "queue-develop", dir }, 2, true);
    useCpus(false);
    const Run queueDevelop = runChild({ self, "--child", "queue-develop", dir }, 2, true);
    const Run queueTurbo = runChild({ self, "--child", "turbo-queue", dir }, runs, true);
    Run queueCjpeg, queueVips;
    if (haveCjpeg()) {
        queueCjpeg = runChild(
            { "sh", "-c",
                "exec cjpeg -quality 95 -sample 1x1 '" + dir + "/queue.ppm' > '" + dir + "/cjpeg.jpg'" },
            runs, false);
    }
    if (haveVips())
        queueVips = runChild(
            { "vips", "copy", dir + "/queue.ppm", dir + "/vips95.jpg[Q=95,no-subsample]" }, runs, false);
    std::printf("the export the queue runs (depth, refocus, JPEG Q95 4:4:4), one process each:\n");
    std::printf("  refocused develop alone, one CPU  %.3f s (CPU %.3f s)  peak %.0f MiB\n",
        queueDevelopOne.seconds, queueDevelopOne.cpu, queueDevelopOne.peak);
    std::printf("  refocused develop alone, %d CPUs  %.3f s (CPU %.3f s)  peak %.0f MiB\n", allCpus,
        queueDevelop.seconds, queueDevelop.cpu, queueDevelop.peak);
    std::printf("  libjpeg-turbo Q95 4:4:4  %.3f s\n", queueTurbo.seconds);
    if (queueCjpeg.ok)
        std::printf(
            "  cjpeg Q95 4:4:4          %.3f s  peak %.0f MiB\n", queueCjpeg.seconds, queueCjpeg.peak);
    else
        std::printf("  cjpeg                    n/a (not installed)\n");
    if (queueVips.ok)
        std::printf("  vips copy Q95 4:4:4      %.3f s  peak %.0f MiB\n", queueVips.seconds, queueVips.peak);
    else
        std::printf("  vips                     n/a (not installed)\n");
    Run queueOne;
    for (const bool one : { true, false }) {
        useCpus(one);
        // Medians of several runs: a loaded machine spreads them.
        const Run queue = runChild({ self, "--child", "queue-export", dir }, one ? 3 : 5, true, true);
        if (!queue.ok) {
            std::printf("  the queue's export failed\n");
            break;
        }
        if (one)
            queueOne = queue;
        const Run& develop = one ? queueDevelopOne : queueDevelop;
        std::printf(
            "  queue export, %s: %.3f s, CPU %.3f s, peak %.0f MiB (%.1f bytes per output pixel), %.0f "
            "MiB held after it\n",
            one ? "one CPU" : (std::to_string(allCpus) + " CPUs").c_str(), queue.seconds, queue.cpu,
            queue.peak, queue.peak * 1048576.0 / (mp * 1e6), queue.base);
        std::printf("    / (refocused develop at %s + libjpeg-turbo): %.2fx (aim <= 1.5)",
            one ? "one CPU" : "as many", queue.seconds / (develop.seconds + queueTurbo.seconds));
        if (queueCjpeg.ok)
            std::printf("; / cjpeg %.1fx", queue.seconds / queueCjpeg.seconds);
        if (queueVips.ok)
            std::printf("; / vips %.1fx", queue.seconds / queueVips.seconds);
        std::printf("\n");
        if (!one && queueOne.ok) {
            const double inflation = queue.cpu / queueOne.cpu;
            const double serial = queue.serial / queueOne.cpu;
            std::printf(
                "    speed-up against one CPU: %.2fx wall (aim >= 6 on a quiet machine); work inflation "
                "(CPU time against one CPU's) %.2f (aim near 1.0); serial time %.3f s, %.1f%% of the "
                "one-CPU time; bound on a quiet machine: %.2fx\n",
                queueOne.seconds / queue.seconds, inflation, queue.serial, 100.0 * serial,
                1.0 / ((serial + (1.0 - serial) / allCpus) * inflation));
            // The CPUs left idle count as well as the serial time: the one-CPU CPU time over the
            // CPU time at all CPUs spread over the share of them that was busy.
            std::printf("    CPUs busy %.0f%% of the time, fewer than %d threads at work %.0f%% of the time; "
                        "speed-up bound by it on a quiet machine: %.2fx\n",
                100.0 * queue.busy, allCpus, 100.0 * queue.under,
                queueOne.cpu / (queue.cpu / (allCpus * std::max(0.01, queue.busy))));
            // Where the CPUs wait: the time with fewer than all threads at work in each part.
            std::printf(
                "    fewer than %d threads at work: until the first group is written %.1f of %.1f ms, "
                "in the other groups %.1f of %.1f ms, at the end %.1f of %.1f ms (medians)\n",
                allCpus, 1e3 * queue.partUnder[0], 1e3 * queue.part[0], 1e3 * queue.partUnder[1],
                1e3 * queue.part[1], 1e3 * queue.partUnder[2], 1e3 * queue.part[2]);
            // When they wait: the threads that could run, by tenth of the export's wall time.
            std::printf("    threads at work (of %d) in each tenth of the export, medians:", allCpus);
            for (const double n : queue.tenth)
                std::printf(" %.1f", n);
            std::printf("\n");
        }
    }
    // Memory beyond the decoded raw data (and depth), at all CPUs: the aim allows 8 bytes per
    // output pixel and 16 MiB of scratch for each thread.
    const Run decodedQueue = runChild({ self, "--child", "queue-decoded", dir }, 1, true);
    if (decodedQueue.ok) {
        const double beyond = decodedQueue.peak - decodedQueue.second;
        std::printf(
            "  queue export after the raw data is decoded, %d CPUs: %.0f MiB beyond it = %.1f bytes per "
            "output pixel (aim <= 8 + 16 MiB per thread: %.0f MiB)\n",
            allCpus, beyond, beyond * 1048576.0 / (mp * 1e6),
            (8 * mp * 1e6 + 16.0 * 1048576.0 * allCpus) / 1048576.0);
    }
    useCpus(false);

    if (demo) {
        if (runChild({ self, "--child", "prepare", dir, "28" }, 1, false).ok) {
            const Run big = runChild({ self, "--child", "export", dir, "0" }, 1, true);
            const Run bigTurned = runChild({ self, "--child", "export", dir, "1" }, 1, true);
            std::printf("demo's largest picture (28 mm, 10400 x 7800): whole export peak %.0f MiB upright, "
                        "%.0f MiB turned (aim < 600)\n",
                big.peak, bigTurned.peak);
            // Through the queue's path (depth, refocus, Q95 4:4:4) on 8 CPUs.
            setenv("OSTRA_BENCH_THREADS", "8", 1);
            const Run bigQueue = runChild({ self, "--child", "queue-export", dir }, 1, true);
            useCpus(false);
            if (bigQueue.ok)
                std::printf(
                    "  the queue's export of it, 8 CPUs: %.3f s, CPU %.3f s, peak %.0f MiB (aim < 600), "
                    "%.0f MiB held after it\n",
                    bigQueue.seconds, bigQueue.cpu, bigQueue.peak, bigQueue.base);
            else
                std::printf("  the queue's export of it failed\n");
        }
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}

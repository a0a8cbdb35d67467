#pragma once

// Shared by the rendering tests: generated pictures, renderers bound to them, and a
// thread-safe log of listener calls.

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ciapi/deptheditor.h"
#include "ciapi/renderer.h"
#include "ciapi/tuning.h"
#include "tools/vrxgen/generator.h"

namespace enginetest {

inline vrxgen::PictureOptions pictureOptions(uint32_t seed, int orientation = 0, int aspect = 0)
{
    vrxgen::PictureOptions o;
    o.seed = seed;
    o.orientation = orientation;
    o.aspectMode = aspect;
    o.focalLength = 150; // level 0 is 4160 x 3120, the coarsest 260 x 195
    o.moduleWidth = 320;
    o.moduleHeight = 240;
    return o;
}

inline vrxgen::Picture picture(uint32_t seed = 3, int orientation = 0, int aspect = 0)
{
    return vrxgen::makePicture(pictureOptions(seed, orientation, aspect));
}

// A renderer reading the picture's bytes (kept alive by the caller).
inline std::shared_ptr<CIAPI::Renderer> rendererFor(
    const vrxgen::Picture& pic, int profile, bool eagerDepth = true)
{
    auto r = CIAPI::Renderer::Create(profile);
    r->setInputDataStream(pic.vrx.data(), pic.vrx.size());
    CIAPI::ApplyTuning(0, *r);
    if (eagerDepth)
        r->setProperty(CIAPI::IntParam::EagerDepth, 1);
    return r;
}

// Every listener call as a line: "out L x0 y0 x1 y1", "state N", "progress P".
class EventLog
{
public:
    void attach(CIAPI::Renderer& r)
    {
        r.setOutputUpdateListener([this](const CIAPI::ImagePyramid&, const CIAPI::ROI& roi, int level) {
            add("out " + std::to_string(level) + " " + std::to_string(roi.x0) + " " + std::to_string(roi.y0)
                + " " + std::to_string(roi.x1) + " " + std::to_string(roi.y1));
        });
        r.setStateChangeListener(
            [this](CIAPI::StateChange s, void*) { add("state " + std::to_string(int(s))); });
        r.setProgressUpdateListener([this](int p) { add("progress " + std::to_string(p)); });
    }
    void add(const std::string& e)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(e);
        m_changed.notify_all();
    }
    std::vector<std::string> events() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.clear();
    }
    int count(const std::string& e) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return int(std::count(m_events.begin(), m_events.end(), e));
    }
    // Waits (without a time limit of its own; ctest's timeout catches a hang) for `count`
    // occurrences of an event.
    void waitFor(const std::string& e, int count = 1)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return std::count(m_events.begin(), m_events.end(), e) >= count; });
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
};

// Copies a level's pixels (RGBA rows without padding).
inline std::vector<uint8_t> pixelsOf(const CIAPI::Image& img)
{
    std::vector<uint8_t> out(size_t(img.width()) * img.height() * 4);
    for (int y = 0; y < img.height(); ++y)
        std::copy(img.row(y), img.row(y) + img.width() * 4, out.begin() + size_t(y) * img.width() * 4);
    return out;
}

inline std::vector<uint8_t> renderLevel(CIAPI::Renderer& r, int level)
{
    CIAPI::ImagePyramid p = r.outputBuffer();
    const CIAPI::Image& img = p[level];
    r.render(level, CIAPI::ROI { 0, 0, img.width(), img.height() }, 2, true);
    return pixelsOf(p[level]);
}

inline int differingPixels(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int tolerance = 2)
{
    int n = 0;
    for (size_t i = 0; i + 3 < a.size() && i + 3 < b.size(); i += 4)
        for (int c = 0; c < 3; ++c)
            if (std::abs(int(a[i + c]) - int(b[i + c])) > tolerance) {
                ++n;
                break;
            }
    return n;
}

} // namespace enginetest

// The X11 binding's capture thread: paces, grabs, scales, converts and
// hands samples to each output's serial queue (see stream.cpp for the
// threads around it).
//
// Frames follow the picture: one at once after the start, then one each time
// the server reports damage over the display or the cursor drawn into it
// moves or changes shape, never more often than the frame interval. Only
// the rows that changed are grabbed and converted (each pool buffer catches
// up on what changed since it last held a picture). The display is followed
// by its RandR monitor: when the screen or the monitor changes size, frames
// keep the configured size with the new picture fitted anew; monitors added
// or removed around it change nothing; once it is no longer listed the
// stream ends with an error, as when the server goes away.
#include <algorithm>
#include <array>
#include <chrono>

#include "area_scaler.h"
#include "bgrx_nv12.h"
#include "linux/frame_pool.h"
#include "picture.h"
#include "x11/stream.h"

namespace capture::x11 {
namespace {

// Everything the capture thread computes once.
struct Plan {
    int width = 0;   // frame size
    int height = 0;
    pixel::Rect picture;  // where the display lands in the frame
    std::chrono::nanoseconds interval{0};
    int depth = 0;
};

// Sizes are within linux_shared::kMaxSide (captureLoop checked them).
Plan makePlan(const linux_shared::Configuration& c, int nativeW, int nativeH, double refresh) {
    Plan p;
    p.width = static_cast<int>(c.width > 0 ? c.width : nativeW);
    p.height = static_cast<int>(c.height > 0 ? c.height : nativeH);
    p.picture = pixel::fitKeepingAspect(nativeW, nativeH, p.width, p.height);
    // Never faster than the monitor shows new pictures.
    p.interval = std::max(linux_shared::frameInterval(c.interval),
                          linux_shared::perFrame(refresh > 0 ? refresh : linux_shared::kDefaultRate));
    p.depth = linux_shared::queueDepth(c.depth);
    return p;
}

// The picture rows that display rows [y0, y1) reach, widened to whole
// chroma rows. An area-averaged output row reads only the display rows it
// covers, so one row more on each side is plenty.
std::pair<int, int> pictureRows(int y0, int y1, int sh, int ph) {
    if (ph == sh) return {y0 & ~1, std::min(ph, (y1 + 1) & ~1)};
    const long long a = static_cast<long long>(y0) * ph / sh - 1;
    const long long b = (static_cast<long long>(y1) * ph + sh - 1) / sh + 2;
    return {static_cast<int>(std::max(a, 0LL)) & ~1,
            static_cast<int>(std::min(b & ~1LL, static_cast<long long>(ph)))};
}

// Scales display rows [y0, y1) of the grabbed pixels into the picture area
// and converts them. A display already of the picture's size is converted
// as it is.
void render(const std::uint8_t* pixels, int sw, int sh, int y0, int y1, const Plan& plan,
            std::unique_ptr<pixel::AreaScaler>& scaler, linux_shared::Nv12Storage& out) {
    const pixel::Rect& r = plan.picture;
    if (r.width <= 0 || r.height <= 0 || y0 >= y1) return;
    const auto [first, end] = pictureRows(y0, y1, sh, r.height);
    std::uint8_t* y = out.y() + static_cast<std::size_t>(r.y) * out.stride + r.x;
    std::uint8_t* uv = out.uv() + static_cast<std::size_t>(r.y / 2) * out.stride + r.x;
    if (r.width == sw && r.height == sh) {
        pixel::bgrxToNv12Bt709(pixels + static_cast<std::size_t>(first) * sw * 4, sw * 4, sw,
                                 end - first, y + static_cast<std::size_t>(first) * out.stride,
                                 out.stride, uv + static_cast<std::size_t>(first / 2) * out.stride,
                                 out.stride);
        return;
    }
    if (!scaler) scaler = std::make_unique<pixel::AreaScaler>(sw, sh, r.width, r.height);
    scaler->scaleRowsToNv12(pixels, sw * 4, first, end, y, out.stride, uv, out.stride);
}

// The display rows each of the last frames changed, so that a pool buffer
// can catch up from the picture it holds.
class ChangeLog {
public:
    void add(std::uint64_t frame, int y0, int y1) { rows_[frame % kSize] = {y0, y1}; }
    // Rows changed by frames after `held` up to `now`; false when `held` is
    // none or too far back.
    bool since(std::uint64_t held, std::uint64_t now, int* y0, int* y1) const {
        if (held == 0 || now - held >= kSize) return false;
        for (std::uint64_t f = held + 1; f <= now; ++f) {
            const auto [a, b] = rows_[f % kSize];
            if (a >= b) continue;
            *y0 = *y0 < *y1 ? std::min(*y0, a) : a;
            *y1 = std::max(*y1, b);
        }
        return true;
    }

private:
    static constexpr std::uint64_t kSize = 16;
    std::array<std::pair<int, int>, kSize> rows_{};
};

}  // namespace

void captureLoop(const std::shared_ptr<Core>& core, const Completion& started) {
    const linux_shared::Configuration& cfg = core->config;
    if (!core->display) {
        started(Error{"the content filter has no display of this platform"});
        return;
    }
    if (cfg.format != kPixelFormat420v) {
        started(Error{"only the 420v pixel format is supported"});
        return;
    }
    if (std::string tooLarge = linux_shared::sizeError(cfg); !tooLarge.empty()) {
        started(Error{tooLarge});
        return;
    }
    std::string error;
    std::unique_ptr<Grabber> grabber =
        Grabber::open(core->display->server, core->display->monitor, core->wake, &error);
    if (!grabber) {
        started(Error{error});
        return;
    }
    Plan plan = makePlan(cfg, grabber->width(), grabber->height(),
                         core->display->monitor.refresh);
    // Wakes the loop below when it waits for a buffer; the lock orders the
    // wake-up after the loop's look at the pool.
    auto pool = std::make_shared<linux_shared::Pool>(plan.depth, plan.width, plan.height,
                                       [weak = std::weak_ptr<Core>(core)] {
                                           if (auto c = weak.lock()) {
                                               { std::lock_guard<std::mutex> l(c->m); }
                                               c->cv.notify_all();
                                           }
                                       });
    std::unique_ptr<pixel::AreaScaler> scaler;
    started(std::nullopt);

    const std::string where = "X display \"" + core->display->server + "\"";
    const auto report = [&](const std::string& text) { core->didStop(text); };
    // While nothing else happens, the pointer is looked at once a frame.
    const int pointerPollMs =
        cfg.showsCursor
            ? static_cast<int>(std::max<std::int64_t>(
                  1, std::chrono::duration_cast<std::chrono::milliseconds>(plan.interval).count()))
            : -1;
    ChangeLog changes;
    std::uint64_t frame = 0, layout = 0;
    bool due = true;  // a frame whatever changed: the first, and the first after a move
    std::shared_ptr<linux_shared::PoolPixelBuffer> buffer;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(core->m);
            core->cv.wait_until(lock, next, [&] { return core->stopRequested; });
            // Every buffer still held downstream (a reader that does not keep
            // up): sleep until one comes back. The changes meanwhile wait.
            core->cv.wait(lock, [&] {
                return core->stopRequested || buffer || (buffer = pool->acquire()) != nullptr;
            });
            if (core->stopRequested) return;
        }
        if (!due) {
            const Grabber::Wake wake = grabber->waitForChange(pointerPollMs);
            if (wake == Grabber::Wake::stop) return;
            if (wake == Grabber::Wake::lost) {
                report("lost the connection to " + where);
                return;
            }
            if (wake == Grabber::Wake::layout) {
                const Grabber::Layout now = grabber->followLayout();
                if (now == Grabber::Layout::gone) {
                    report("the display is no longer on " + where);
                    return;
                }
                if (now == Grabber::Layout::moved) {
                    plan.picture = pixel::fitKeepingAspect(grabber->width(), grabber->height(),
                                                             plan.width, plan.height);
                    scaler.reset();
                    ++layout;
                    due = true;
                }
                continue;
            }
        }
        int y0 = 0, y1 = 0;
        const std::uint8_t* pixels = grabber->grab(cfg.showsCursor, &y0, &y1);
        const auto now = std::chrono::steady_clock::now();
        if (!pixels) {
            if (grabber->lost()) {
                report("lost the connection to " + where);
                return;
            }
            next = std::max(next, now) + plan.interval;  // a failing grab does not spin
            continue;
        }
        if (y0 >= y1 && !due) continue;  // nothing over this display changed
        due = false;
        // On the beat while frames keep coming; a full interval after a pause.
        next = std::max(next, now - plan.interval / 2) + plan.interval;

        linux_shared::Nv12Storage& out = buffer->storage();
        changes.add(++frame, y0, y1);
        int r0 = 0, r1 = 0;
        const bool laidOut = out.layout == layout;
        if (!laidOut) {
            pixel::fillBlack(out.width, out.height, out.y(), out.stride, out.uv(), out.stride);
            out.layout = layout;
        }
        if (!laidOut || !changes.since(out.frame, frame, &r0, &r1)) {
            r0 = 0;
            r1 = grabber->height();
        }
        render(pixels, grabber->width(), grabber->height(), r0, r1, plan, scaler, out);
        out.frame = frame;

        auto sample = std::make_shared<linux_shared::Sample>(std::move(buffer));
        buffer.reset();
        core->outputs.postToScreens(
            [core, sample](StreamOutput& output) { core->handOver(output, *sample); });
    }
}

}  // namespace capture::x11

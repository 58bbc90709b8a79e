// Linux binding of capture.h for Wayland sessions: the monitor the desktop
// portal grants, read from PipeWire.
//
// Consent comes first: getShareableContent runs the portal's handshake
// (portal_bus.cpp) on a short-lived thread, so a declined dialog
// fails the start before any stream exists. The one display it lists holds
// the granted session; a stream made for it connects to the session's
// PipeWire node once started.
//
// Threads:
// - Each started stream runs one PipeWire thread loop ("mirvo.pw",
//   cast.cpp). It negotiates the format, takes the buffers the compositor
//   sends (only when the picture changes), scales and converts them with
//   pixel/'s kernels and posts samples to each output's serial queue. It
//   never calls into the library itself: the start completion and the
//   delegate's stop report run on short-lived threads of their own (on the
//   loop, should no thread be made).
// - A buffer that arrives sooner than the frame interval after the last
//   frame, or while every pixel buffer is still held downstream, is kept
//   (the newest one only) and converted once the interval has passed or a
//   pixel buffer came back, so the last picture is never lost.
// - stopCapture finishes on a short-lived thread: it ends the loop,
//   disconnects from PipeWire, closes the portal session, drains the output
//   queues and runs the completion. None of it waits for the compositor.
// - A thread that cannot be made for a call (listing the content, the stop,
//   a start's failure) fails that call.
//
// Buffers: shared memory only (MemFd or MemPtr), in BGRx, BGRA, RGBx or
// RGBA; no DMA-BUF is accepted, since reading one may need a GPU context.
// Configuration as in the X11 binding: a width or height of 0 or less means
// the monitor's size, above 16384 fails the start, a non-positive interval
// means 60 frames a second, the queue depth is kept within 1..8.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "linux/bindings.h"
#include "wayland/cast.h"

namespace capture::wayland {
namespace {

// ---- content ------------------------------------------------------------

class PortalDisplay : public Display {
public:
    explicit PortalDisplay(std::unique_ptr<Session> s) : session(std::move(s)) {}
    std::mutex m;
    std::unique_ptr<Session> session;  // taken by the stream that starts
};

class PortalContent : public ShareableContent {
public:
    explicit PortalContent(std::shared_ptr<Display> d) : display_(std::move(d)) {}
    std::vector<std::shared_ptr<Display>> displays() const override { return {display_}; }

private:
    std::shared_ptr<Display> display_;
};

class PortalFilter : public ContentFilter {
public:
    explicit PortalFilter(std::shared_ptr<PortalDisplay> d) : display(std::move(d)) {}
    const std::shared_ptr<PortalDisplay> display;
};


class PortalStream : public Stream {
public:
    PortalStream(std::shared_ptr<Cast> cast) : cast_(std::move(cast)) { cast_->owner = this; }

    ~PortalStream() override {
        cast_->shutdown();
        cast_->release();
    }

    bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                         std::shared_ptr<Queue> queue, Error* error) override {
        return cast_->outputs.add(std::move(output), type, std::move(queue), error);
    }

    void startCapture(Completion completion) override {
        Cast& c = *cast_;
        std::string error;
        if (c.started)
            error = "the stream has already been started";
        else if (!c.setupError.empty())
            error = c.setupError;
        else if (c.config.format != kPixelFormat420v)
            error = "only the 420v pixel format is supported";
        else
            error = linux_shared::sizeError(c.config);
        c.started = true;
        if (error.empty()) {
            c.width = static_cast<int>(std::max<std::int64_t>(c.config.width, 0));
            c.height = static_cast<int>(std::max<std::int64_t>(c.config.height, 0));
            c.interval = linux_shared::frameInterval(c.config.interval);
            c.depth = linux_shared::queueDepth(c.config.depth);
            if (c.start(completion)) return;
            error = std::string("cannot connect to PipeWire: ") + std::strerror(errno);
            c.startCompletion = nullptr;
        }
        linux_shared::detached([completion, error] { completion(Error{error}); });
    }

    void stopCapture(Completion completion) override {
        linux_shared::stopApart(cast_, std::move(completion), [](Cast& cast) {
            if (!cast.started) return false;
            cast.shutdown();
            return true;
        });
    }

private:
    std::shared_ptr<Cast> cast_;
};

}  // namespace

void getShareableContent(bool, bool, ContentCompletion completion) {
    // The library always asks for the cursor (showsCursor), and the portal
    // must know before the stream's configuration exists.
    linux_shared::detached([completion = std::move(completion)] {
        std::string error;
        std::unique_ptr<Session> session = Session::open(true, &error);
        if (!session) {
            completion(nullptr, Error{error});
            return;
        }
        completion(std::make_shared<PortalContent>(std::make_shared<PortalDisplay>(std::move(session))),
                   std::nullopt);
    });
}

std::shared_ptr<ContentFilter> makeContentFilter(std::shared_ptr<Display> display) {
    return std::make_shared<PortalFilter>(std::dynamic_pointer_cast<PortalDisplay>(display));
}

std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,
                                   std::shared_ptr<StreamConfiguration> configuration,
                                   std::shared_ptr<StreamDelegate> delegate) {
    auto cast = std::make_shared<Cast>();
    auto f = std::dynamic_pointer_cast<PortalFilter>(filter);
    if (auto c = std::dynamic_pointer_cast<linux_shared::Configuration>(configuration)) cast->config = *c;
    if (f && f->display) {
        std::lock_guard<std::mutex> l(f->display->m);
        cast->session = std::move(f->display->session);
    }
    if (!cast->session)
        cast->setupError = f && f->display ? "the screen's portal session is already in use"
                                           : "the content filter has no display of this platform";
    cast->delegate = std::move(delegate);
    return std::make_shared<PortalStream>(std::move(cast));
}

}  // namespace capture::wayland

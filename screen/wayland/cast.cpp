// The Wayland binding's PipeWire side: one thread loop per started stream
// ("mirvo.pw") negotiates the format, takes the buffers the compositor
// sends (only when the picture changes), scales and converts them with
// pixel/'s kernels and posts samples to each output's serial queue. It never
// calls into the library itself: the start completion and the delegate's
// stop report run on short-lived threads of their own. See stream.cpp for
// the rest of the binding.
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "bgrx_nv12.h"
#include "wayland/cast.h"

namespace capture::wayland {
namespace {

constexpr int kNegotiationSeconds = 10;  // PipeWire's part of a start, after consent

// PipeWire's loop and pod helpers are macros built on GNU statement
// expressions and compound literals; this file uses them only through these.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#ifdef __clang__
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#pragma clang diagnostic ignored "-Wc99-extensions"
#endif
namespace pwloop {
void arm(pw_loop* l, spa_source* timer, std::chrono::nanoseconds after) {
    timespec t{static_cast<time_t>(after.count() / 1'000'000'000),
               static_cast<long>(after.count() % 1'000'000'000)};
    pw_loop_update_timer(l, timer, &t, nullptr, false);
}
void signal(pw_loop* l, spa_source* event) { pw_loop_signal_event(l, event); }
void destroy(pw_loop* l, spa_source* source) { pw_loop_destroy_source(l, source); }
spa_source* timer(pw_loop* l, spa_source_timer_func_t f, void* data) {
    return pw_loop_add_timer(l, f, data);
}
spa_source* event(pw_loop* l, spa_source_event_func_t f, void* data) {
    return pw_loop_add_event(l, f, data);
}
spa_source* input(pw_loop* l, int fd, spa_source_io_func_t f, void* data) {
    return pw_loop_add_io(l, fd, SPA_IO_IN, false, f, data);
}
// Shared memory only; 2 to 16 buffers, so that holding one never starves
// the compositor.
const spa_pod* buffers(spa_pod_builder* b) {
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
}
void listen(pw_core* core, spa_hook* hook, const pw_core_events* events, void* data) {
    pw_core_add_listener(core, hook, events, data);
}
void listen(pw_registry* registry, spa_hook* hook, const pw_registry_events* events, void* data) {
    pw_registry_add_listener(registry, hook, events, data);
}
void rawVideo(spa_pod_builder* b) {
    spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
}
}  // namespace pwloop
#pragma GCC diagnostic pop

std::once_flag pipewireInit;

}  // namespace

// On the loop, or once it has ended: the start's answer, made once, off it.
void Cast::answer(std::optional<Error> e) {
    if (answered) return;
    answered = true;
    if (e) ended = true;
    linux_shared::detachedOrHere([c = std::move(startCompletion), e] { c(e); });
}

// On the loop: the capture ended without a stop. Before the start was
// answered this fails the start; afterwards the delegate hears it once.
void Cast::lose(const std::string& why) {
    if (ended) return;
    if (!answered) {
        answer(Error{why});
        return;
    }
    ended = true;
    if (held) pw_stream_queue_buffer(stream, std::exchange(held, nullptr));
    linux_shared::detachedOrHere([self = shared_from_this(), why] { self->didStop(why); });
}

void Cast::convert(const spa_buffer& b, linux_shared::Nv12Storage& out) {
    const int sw = static_cast<int>(format.size.width), sh = static_cast<int>(format.size.height);
    if (out.layout != layout) {
        pixel::fillBlack(out.width, out.height, out.y(), out.stride, out.uv(), out.stride);
        out.layout = layout;
    }
    const spa_data& d = b.datas[0];
    const std::uint32_t offset = d.chunk->offset % std::max<std::uint32_t>(d.maxsize, 1);
    const int stride = d.chunk->stride > 0 ? d.chunk->stride : sw * 4;
    if (sw <= 0 || sh <= 0 || stride < sw * 4 ||
        offset + static_cast<std::uint64_t>(stride) * (sh - 1) + sw * 4 > d.maxsize)
        return;
    const auto* pixels = static_cast<const std::uint8_t*>(d.data) + offset;
    int pixelStride = stride;
    if (format.format == SPA_VIDEO_FORMAT_RGBx || format.format == SPA_VIDEO_FORMAT_RGBA) {
        swizzled.resize(static_cast<std::size_t>(sw) * sh * 4);
        for (int y = 0; y < sh; ++y) {
            const std::uint8_t* s = pixels + static_cast<std::size_t>(y) * stride;
            std::uint8_t* o = swizzled.data() + static_cast<std::size_t>(y) * sw * 4;
            for (int x = 0; x < sw; ++x, s += 4, o += 4) {
                o[0] = s[2];
                o[1] = s[1];
                o[2] = s[0];
                o[3] = 255;
            }
        }
        pixels = swizzled.data();
        pixelStride = sw * 4;
    }
    const pixel::Rect& r = picture;
    if (r.width <= 0 || r.height <= 0) return;
    std::uint8_t* y = out.y() + static_cast<std::size_t>(r.y) * out.stride + r.x;
    std::uint8_t* uv = out.uv() + static_cast<std::size_t>(r.y / 2) * out.stride + r.x;
    if (r.width == sw && r.height == sh) {
        pixel::bgrxToNv12Bt709(pixels, pixelStride, sw, sh, y, out.stride, uv, out.stride);
        return;
    }
    if (!scaler) scaler = std::make_unique<pixel::AreaScaler>(sw, sh, r.width, r.height);
    scaler->scaleToNv12(pixels, pixelStride, y, out.stride, uv, out.stride);
}

// On the loop: turns the held buffer into a sample when its turn has come
// and a pixel buffer is free; otherwise waits for the timer or a return.
void Cast::deliver() {
    if (!held || ended || !pool) return;
    const auto now = Clock::now();
    if (now < next) {
        pwloop::arm(pw_thread_loop_get_loop(loop), timer,
                    std::chrono::duration_cast<std::chrono::nanoseconds>(next - now));
        return;
    }
    std::shared_ptr<linux_shared::PoolPixelBuffer> buffer = pool->acquire();
    if (!buffer) return;  // a pixel buffer that comes back calls us again
    convert(*held->buffer, buffer->storage());
    pw_stream_queue_buffer(stream, std::exchange(held, nullptr));
    next = now + interval;

    auto sample = std::make_shared<linux_shared::Sample>(std::move(buffer));
    outputs.postToScreens(
        [self = shared_from_this(), sample](StreamOutput& out) { self->handOver(out, *sample); });
}

namespace {

// ---- PipeWire events (all on the loop) ----------------------------------

void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* c = static_cast<Cast*>(data);
    if (!param || id != SPA_PARAM_Format) return;
    spa_video_info_raw info{};
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(param, &info) < 0)
        return;
    const int sw = static_cast<int>(info.size.width), sh = static_cast<int>(info.size.height);
    if (sw <= 0 || sh <= 0 || sw > linux_shared::kMaxSide || sh > linux_shared::kMaxSide) {
        c->lose("the compositor offers a screen of " + std::to_string(sw) + "x" +
                std::to_string(sh) + " pixels");
        return;
    }
    if (!c->haveFormat || info.size.width != c->format.size.width ||
        info.size.height != c->format.size.height) {
        if (c->width <= 0) c->width = sw;
        if (c->height <= 0) c->height = sh;
        c->picture = pixel::fitKeepingAspect(sw, sh, c->width, c->height);
        c->scaler.reset();
        ++c->layout;
        if (c->held) pw_stream_queue_buffer(c->stream, std::exchange(c->held, nullptr));
    }
    c->format = info;
    c->haveFormat = true;
    if (!c->pool) {
        c->pool = std::make_shared<linux_shared::Pool>(c->depth, c->width, c->height,
                                         [weak = c->weak_from_this()] {
            // Buffers may come back after the stream is gone: the flag,
            // under the shutdown lock, says whether the loop still exists.
            if (auto cast = weak.lock()) {
                std::lock_guard<std::mutex> l(cast->shutdownMutex);
                if (!cast->shutDown)
                    pwloop::signal(pw_thread_loop_get_loop(cast->loop), cast->returned);
            }
        });
    }

    std::uint8_t storage[256];
    spa_pod_builder b;
    spa_pod_builder_init(&b, storage, sizeof storage);
    const spa_pod* params[1] = {pwloop::buffers(&b)};
    pw_stream_update_params(c->stream, params, 1);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* c = static_cast<Cast*>(data);
    if (state == PW_STREAM_STATE_STREAMING && c->haveFormat) {
        c->answer(std::nullopt);
        // A compositor may send nothing until the picture changes: if no
        // buffer has come by then, ask for one.
        if (!c->gotBuffer)
            pwloop::arm(pw_thread_loop_get_loop(c->loop), c->timer, std::chrono::milliseconds(250));
    } else if (state == PW_STREAM_STATE_ERROR) {
        c->lose(std::string("the screen cast's PipeWire stream failed: ") +
                (error ? error : "unknown error"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED && c->answered) {
        c->lose("the screen cast's PipeWire stream was disconnected");
    }
}

void onProcess(void* data) {
    auto* c = static_cast<Cast*>(data);
    pw_buffer* newest = nullptr;
    while (pw_buffer* b = pw_stream_dequeue_buffer(c->stream)) {
        if (newest) pw_stream_queue_buffer(c->stream, newest);
        newest = b;
    }
    if (!newest) return;
    const spa_buffer* sb = newest->buffer;
    const bool usable = c->haveFormat && !c->ended && sb->n_datas > 0 && sb->datas[0].data &&
                        sb->datas[0].chunk && sb->datas[0].chunk->size > 0 &&
                        !(sb->datas[0].chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
    if (!usable) {
        pw_stream_queue_buffer(c->stream, newest);
        return;
    }
    if (c->held) pw_stream_queue_buffer(c->stream, c->held);
    c->held = newest;
    c->gotBuffer = true;
    c->answer(std::nullopt);  // a buffer before the state change: frames flow
    c->deliver();
}

void onTimer(void* data, std::uint64_t) {
    auto* c = static_cast<Cast*>(data);
    if (!c->answered && Clock::now() >= c->negotiationDeadline) {
        c->answer(Error{"PipeWire did not start the screen cast within " +
                        std::to_string(kNegotiationSeconds) + " s"});
        return;
    }
    if (c->answered && !c->gotBuffer && !c->askedForOne && !c->ended) {
        c->askedForOne = true;
        pw_stream_trigger_process(c->stream);
    }
    c->deliver();
}

void onReturned(void* data, std::uint64_t) { static_cast<Cast*>(data)->deliver(); }

void onBus(void* data, int, std::uint32_t) {
    auto* c = static_cast<Cast*>(data);
    std::string why;
    if (!c->session->dispatch(&why)) {
        pwloop::destroy(pw_thread_loop_get_loop(c->loop), c->busWatch);
        c->busWatch = nullptr;
        c->lose("the screen cast ended: " + why);
    }
}

void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto* c = static_cast<Cast*>(data);
    if (id == PW_ID_CORE && res == -EPIPE)
        c->lose(std::string("the screen cast ended: lost the connection to PipeWire (") +
                (message ? message : "") + ")");
}

void onGlobalRemove(void* data, std::uint32_t id) {
    auto* c = static_cast<Cast*>(data);
    if (c->session && id == c->session->node())
        c->lose("the screen cast ended: the compositor or its portal removed the screen's stream");
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.param_changed = onParamChanged;
    e.process = onProcess;
    return e;
}();
const pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = onCoreError;
    return e;
}();
const pw_registry_events kRegistryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global_remove = onGlobalRemove;
    return e;
}();

}  // namespace

// Connects to the session's node. False with the error for the start.
bool Cast::start(Completion completion) {
    std::call_once(pipewireInit, [] { pw_init(nullptr, nullptr); });
    startCompletion = std::move(completion);
    const int fd = session->takePipeWireFd();
    loop = pw_thread_loop_new("mirvo.pw", nullptr);
    if (!loop) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    pw_loop* l = pw_thread_loop_get_loop(loop);
    context = pw_context_new(l, nullptr, 0);
    core = context ? pw_context_connect_fd(context, fd, nullptr, 0) : nullptr;
    if (!core) return false;  // the descriptor went with the failed connection
    pwloop::listen(core, &coreListener, &kCoreEvents, this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    if (registry) pwloop::listen(registry, &registryListener, &kRegistryEvents, this);
    stream = pw_stream_new(core, "mirvo screen",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                             "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!stream) return false;
    pw_stream_add_listener(stream, &streamListener, &kStreamEvents, this);
    timer = pwloop::timer(l, onTimer, this);
    returned = pwloop::event(l, onReturned, this);
    if (session->busFd() >= 0)
        busWatch = pwloop::input(l, session->busFd(), onBus, this);

    std::uint8_t storage[1024];
    spa_pod_builder b;
    spa_pod_builder_init(&b, storage, sizeof storage);
    spa_pod_frame f[2];
    spa_pod_builder_push_object(&b, &f[0], SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    pwloop::rawVideo(&b);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(&b, &f[1], SPA_CHOICE_Enum, 0);
    for (std::uint32_t id : {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA})
        spa_pod_builder_id(&b, id);
    spa_pod_builder_pop(&b, &f[1]);
    const spa_rectangle sizes[3] = {{1920, 1080}, {1, 1}, {linux_shared::kMaxSide, linux_shared::kMaxSide}};
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_push_choice(&b, &f[1], SPA_CHOICE_Range, 0);
    for (const spa_rectangle& r : sizes) spa_pod_builder_rectangle(&b, r.width, r.height);
    spa_pod_builder_pop(&b, &f[1]);
    const spa_fraction rates[3] = {{0, 1}, {0, 1}, {1000, 1}};
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(&b, &f[1], SPA_CHOICE_Range, 0);
    for (const spa_fraction& r : rates) spa_pod_builder_fraction(&b, r.num, r.denom);
    spa_pod_builder_pop(&b, &f[1]);
    const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f[0]))};

    negotiationDeadline = Clock::now() + std::chrono::seconds(kNegotiationSeconds);
    pwloop::arm(l, timer, std::chrono::seconds(kNegotiationSeconds));
    if (pw_stream_connect(stream, PW_DIRECTION_INPUT, session->node(),
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                       PW_STREAM_FLAG_MAP_BUFFERS),
                          params, 1) < 0)
        return false;
    return pw_thread_loop_start(loop) == 0;
}

// Ends the loop and lets go of PipeWire and the portal session. Never on
// the loop thread (nothing runs the library's code there).
void Cast::shutdown() {
    {
        std::lock_guard<std::mutex> l(shutdownMutex);
        if (shutDown) return;
        shutDown = true;
    }
    if (loop) {
        pw_thread_loop_lock(loop);
        ended = true;
        if (held && stream) pw_stream_queue_buffer(stream, std::exchange(held, nullptr));
        if (stream) pw_stream_disconnect(stream);
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
        if (stream) pw_stream_destroy(stream);
        if (registry) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        if (core) pw_core_disconnect(core);
        if (context) pw_context_destroy(context);
        pw_thread_loop_destroy(loop);
        stream = nullptr;
        registry = nullptr;
        core = nullptr;
        context = nullptr;
        loop = nullptr;
    }
    if (session) session->close();
    if (startCompletion) answer(Error{"the stream was released"});
}

}  // namespace capture::wayland

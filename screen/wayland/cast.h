// The Wayland binding's stream state: one screen cast from the portal's
// PipeWire node, shared by stream.cpp (the capture.h objects) and cast.cpp
// (the PipeWire loop that fills the frames).
#pragma once

#include <pipewire/pipewire.h>
#include <spa/param/video/raw.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "area_scaler.h"
#include "capture.h"
#include "linux/frame_pool.h"
#include "linux/stream_parts.h"
#include "picture.h"
#include "wayland/session.h"

namespace capture::wayland {

using Clock = std::chrono::steady_clock;

// What the stream object, its PipeWire loop and its stop thread share.
// Members marked "loop" are touched only on the loop thread, or with the
// loop locked.
struct Cast : std::enable_shared_from_this<Cast>, linux_shared::Callouts {
    Cast() : Callouts("mirvo.pw.out") {}

    linux_shared::Configuration config;
    std::unique_ptr<Session> session;
    std::string setupError;  // set by makeStream when the filter held no session

    // Fixed once the loop runs.
    int width = 0, height = 0;  // frame size; 0 until the first format when unconfigured
    std::chrono::nanoseconds interval{0};
    int depth = linux_shared::kDefaultDepth;

    // PipeWire objects; made by start(), destroyed by shutdown().
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{}, registryListener{}, streamListener{};
    spa_source* timer = nullptr;     // the held buffer's turn, and the negotiation guard
    spa_source* returned = nullptr;  // a pixel buffer came back
    spa_source* busWatch = nullptr;

    // loop
    spa_video_info_raw format{};
    bool haveFormat = false;
    std::uint64_t layout = 0;  // bumped with every new source geometry
    pixel::Rect picture;
    std::unique_ptr<pixel::AreaScaler> scaler;
    std::vector<std::uint8_t> swizzled;  // RGBx rows turned into BGRx
    std::shared_ptr<linux_shared::Pool> pool;
    pw_buffer* held = nullptr;
    Clock::time_point next{};
    Clock::time_point negotiationDeadline{};
    bool answered = false;  // the start completion has been made
    bool gotBuffer = false;  // the compositor has sent a picture
    bool askedForOne = false;
    bool ended = false;     // lost or failed: no more frames
    Completion startCompletion;

    std::mutex shutdownMutex;  // one shutdown; guards the sources used from other threads
    bool shutDown = false;
    bool started = false;

    void answer(std::optional<Error> e);
    void lose(const std::string& why);
    void deliver();
    void convert(const spa_buffer& b, linux_shared::Nv12Storage& out);
    bool start(Completion completion);
    void shutdown();
};

}  // namespace capture::wayland

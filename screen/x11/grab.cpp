// Grabbing one monitor: waiting for a change, following the layout, the
// damaged rows, the image's update and the cursor drawn into it.
#include "x11/grab.h"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "free_deleter.h"
#include "picture.h"

namespace capture::x11 {

Grabber::Wake Grabber::waitForChange(int cursorPollMs) {
    using Clock = std::chrono::steady_clock;
    const int connFd = xcb_get_file_descriptor(conn_);
    auto nextLook = Clock::now() + std::chrono::milliseconds(cursorPollMs);
    for (;;) {
        if (woken_) return Wake::stop;
        while (xcb_generic_event_t* e = xcb_poll_for_event(conn_)) {
            handle(e);
            std::free(e);
        }
        if (lost()) return Wake::lost;
        if (layout_) return Wake::layout;
        if (whole_ || damaged_ || !damage_ || (cursorPollMs >= 0 && cursorShape_))
            return Wake::change;
        int timeout = -1;
        if (cursorPollMs >= 0) {
            if (Clock::now() >= nextLook) {
                Reply<xcb_query_pointer_reply_t> p(awaitReply<xcb_query_pointer_reply_t>(
                    xcb_query_pointer(conn_, root_).sequence));
                if (p && (p->root_x != pointerX_ || p->root_y != pointerY_)) {
                    // A change only where the cursor was or now is over the area.
                    const Box now{p->root_x - hotX_ - area_.x, p->root_y - hotY_ - area_.y,
                                  p->root_x - hotX_ - area_.x + cursorW_,
                                  p->root_y - hotY_ - area_.y + cursorH_};
                    if (cursorDrawn_ || !(now.x1 <= 0 || now.y1 <= 0 || now.x0 >= area_.width ||
                                          now.y0 >= area_.height))
                        return Wake::change;
                    pointerX_ = p->root_x;
                    pointerY_ = p->root_y;
                }
                nextLook = Clock::now() + std::chrono::milliseconds(cursorPollMs);
                continue;  // events may have come with the reply
            }
            timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(
                                           nextLook - Clock::now())
                                           .count());
        }
        pollfd fds[2] = {{connFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, wakeFd_ >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR) return Wake::lost;
        if (fds[1].revents) woken_ = true;
    }
}

Grabber::Layout Grabber::followLayout() {
    layout_ = false;  // events from here on count again
    for (int attempt = 0;; ++attempt) {
        Reply<xcb_get_geometry_reply_t> root(
            awaitReply<xcb_get_geometry_reply_t>(xcb_get_geometry(conn_, root_).sequence));
        if (!root) return Layout::same;  // woken or lost: the next wait says which
        Monitor m{0, 0, root->width, root->height, 0, 0};
        bool found = monitorName_ == 0;
        if (!found) {
            Reply<xcb_randr_get_monitors_reply_t> list(awaitReply<xcb_randr_get_monitors_reply_t>(
                xcb_randr_get_monitors(conn_, root_, 1).sequence));
            if (!list) return Layout::same;
            for (auto it = xcb_randr_get_monitors_monitors_iterator(list.get()); it.rem && !found;
                 xcb_randr_monitor_info_next(&it))
                if (it.data->name == monitorName_ && it.data->width && it.data->height) {
                    m = {it.data->x, it.data->y, it.data->width, it.data->height, 0, monitorName_};
                    found = true;
                }
        }
        const Monitor c = clipToRoot(m, root->width, root->height);
        if (found && c.width > 0 && c.height > 0) {
            if (c.x == area_.x && c.y == area_.y && c.width == area_.width &&
                c.height == area_.height)
                return Layout::same;
            area_ = c;
            makeImage();
            return Layout::moved;
        }
        // A mode switch may take the monitor away for a moment: it is gone
        // only when it is still missing a quarter of a second later.
        if (attempt > 0) return Layout::gone;
        pollfd wake{wakeFd_, POLLIN, 0};
        if (::poll(&wake, wakeFd_ >= 0 ? 1 : 0, 250) > 0) {
            woken_ = true;
            return Layout::same;
        }
    }
}

// The rows of the area the server reported damaged since the last look,
// and the damage taken away. False when the answer did not come.
bool Grabber::damagedRows(int* y0, int* y1) {
    xcb_damage_subtract(conn_, damage_, XCB_NONE, region_);
    Reply<xcb_xfixes_fetch_region_reply_t> r(awaitReply<xcb_xfixes_fetch_region_reply_t>(
        xcb_xfixes_fetch_region(conn_, region_).sequence));
    if (!r) return false;
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(r.get());
    for (int i = 0; i < xcb_xfixes_fetch_region_rectangles_length(r.get()); ++i) {
        const int top = std::max(rects[i].y - area_.y, 0);
        const int bottom = std::min(rects[i].y + rects[i].height - area_.y, area_.height);
        if (top >= bottom || rects[i].x >= area_.x + area_.width ||
            rects[i].x + rects[i].width <= area_.x)
            continue;
        if (*y0 >= *y1) {
            *y0 = top;
            *y1 = bottom;
        } else {
            *y0 = std::min(*y0, top);
            *y1 = std::max(*y1, bottom);
        }
    }
    return true;
}

const std::uint8_t* Grabber::grab(bool withCursor, int* firstRow, int* endRow) {
    int y0 = 0, y1 = 0;
    *firstRow = *endRow = 0;
    if (woken_ || lost()) return nullptr;
    const Box oldCursor = cursorDrawn_ ? cursorBox_ : Box{};
    restoreUnderCursor();
    bool ok = true;
    if (whole_ || !damage_) {
        if (damage_) xcb_damage_subtract(conn_, damage_, XCB_NONE, XCB_NONE);
        y1 = area_.height;
    } else if (damaged_) {
        ok = damagedRows(&y0, &y1);
    }
    damaged_ = false;
    if (ok && y0 < y1) ok = grabRows(y0, y1);
    if (!ok) {
        whole_ = true;  // what the lost damage covered is not known
        return nullptr;
    }
    whole_ = false;
    if (withCursor) {
        bool changed = false;
        const Box now = drawCursor(&changed);
        if (woken_) return nullptr;
        for (const Box& b : {oldCursor, now}) {
            if (!changed || b.empty()) continue;
            y0 = y0 < y1 ? std::min(y0, b.y0) : b.y0;
            y1 = std::max(y1, b.y1);
        }
    }
    *firstRow = y0;
    *endRow = y1;
    return pixels_;
}

// Rows [y0, y1) of the area into the image, whole width: in shared memory
// they land in place, at their own offset.
bool Grabber::grabRows(int y0, int y1) {
    if (!shmSegment_) return grabPlain(y0, y1);
    int error = 0;
    Reply<xcb_shm_get_image_reply_t> r(awaitReply<xcb_shm_get_image_reply_t>(
        xcb_shm_get_image(conn_, root_, static_cast<std::int16_t>(area_.x),
                          static_cast<std::int16_t>(area_.y + y0),
                          static_cast<std::uint16_t>(area_.width),
                          static_cast<std::uint16_t>(y1 - y0), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          shmSegment_,
                          static_cast<std::uint32_t>(y0) * static_cast<std::uint32_t>(area_.width) * 4)
            .sequence,
        &error));
    if (r) return true;
    if (woken_ || lost()) return false;
    if (error == XCB_MATCH) {
        layout_ = true;  // the root shrank under the area; its event is on the way
        return false;
    }
    // The server refused shared memory for this request: go on without it
    // rather than lose every frame.
    plain_.assign(shmAddr_, shmAddr_ + bytes_);
    detachSharedMemory();
    pixels_ = plain_.data();
    return grabPlain(y0, y1);
}

bool Grabber::grabPlain(int y0, int y1) {
    int error = 0;
    Reply<xcb_get_image_reply_t> r(awaitReply<xcb_get_image_reply_t>(
        xcb_get_image(conn_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_,
                      static_cast<std::int16_t>(area_.x), static_cast<std::int16_t>(area_.y + y0),
                      static_cast<std::uint16_t>(area_.width),
                      static_cast<std::uint16_t>(y1 - y0), ~0u)
            .sequence,
        &error));
    if (!r) {
        if (error == XCB_MATCH) layout_ = true;
        return false;
    }
    const std::size_t offset = static_cast<std::size_t>(y0) * area_.width * 4;
    const std::size_t n = static_cast<std::size_t>(y1 - y0) * area_.width * 4;
    const int length = xcb_get_image_data_length(r.get());
    if (length < 0 || static_cast<std::size_t>(length) < n) return false;
    std::memcpy(plain_.data() + offset, xcb_get_image_data(r.get()), n);
    return true;
}

// Puts back the pixels the last drawn cursor covered.
void Grabber::restoreUnderCursor() {
    if (!cursorDrawn_) return;
    const Box& b = cursorBox_;
    const std::size_t row = static_cast<std::size_t>(b.x1 - b.x0) * 4;
    for (int y = b.y0; y < b.y1; ++y)
        std::memcpy(pixels_ + (static_cast<std::size_t>(y) * area_.width + b.x0) * 4,
                    under_.data() + static_cast<std::size_t>(y - b.y0) * row, row);
    cursorDrawn_ = false;
}

// Draws the cursor over the image, keeping what it covers. Returns the box
// it covers in the area (empty: none); *changed tells whether it moved or
// changed shape since the last grab.
Grabber::Box Grabber::drawCursor(bool* changed) {
    *changed = cursorShape_;
    cursorShape_ = false;
    if (!hasXfixes_) return {};
    Reply<xcb_xfixes_get_cursor_image_reply_t> c(
        awaitReply<xcb_xfixes_get_cursor_image_reply_t>(
            xcb_xfixes_get_cursor_image(conn_).sequence));
    const int n = c ? xcb_xfixes_get_cursor_image_cursor_image_length(c.get()) : 0;
    if (!c || c->width == 0 || c->height == 0 || n < static_cast<int>(c->width) * c->height) {
        *changed = *changed || pointerX_ != -1;
        pointerX_ = pointerY_ = -1;
        return {};
    }
    if (c->x != pointerX_ || c->y != pointerY_ || c->cursor_serial != cursorSerial_ ||
        c->width != cursorW_ || c->height != cursorH_ || c->xhot != hotX_ || c->yhot != hotY_)
        *changed = true;
    pointerX_ = c->x;
    pointerY_ = c->y;
    cursorSerial_ = c->cursor_serial;
    cursorW_ = c->width;
    cursorH_ = c->height;
    hotX_ = c->xhot;
    hotY_ = c->yhot;
    // XFixes hands out the pointer position and a premultiplied ARGB image
    // whose hotspot sits on it.
    const int x = c->x - c->xhot - area_.x, y = c->y - c->yhot - area_.y;
    const Box b{std::max(x, 0), std::max(y, 0), std::min(x + cursorW_, area_.width),
                std::min(y + cursorH_, area_.height)};
    if (b.empty()) return {};
    const std::size_t row = static_cast<std::size_t>(b.x1 - b.x0) * 4;
    under_.resize(row * static_cast<std::size_t>(b.y1 - b.y0));
    for (int r = b.y0; r < b.y1; ++r)
        std::memcpy(under_.data() + static_cast<std::size_t>(r - b.y0) * row,
                    pixels_ + (static_cast<std::size_t>(r) * area_.width + b.x0) * 4, row);
    cursorBox_ = b;
    cursorDrawn_ = true;
    pixel::blendPremultiplied(xcb_xfixes_get_cursor_image_cursor_image(c.get()), cursorW_,
                                cursorH_, x, y, pixels_, area_.width * 4, area_.width,
                                area_.height);
    return b;
}

}  // namespace capture::x11

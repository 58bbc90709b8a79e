#include "capture_x11_grab.h"

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

namespace x11 {
namespace {

using mirvo::FreeDeleter;
// Every XCB reply and error is malloc'ed and ours to free.
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

// Returns null when the connection failed (xcb_connect never returns null
// itself: it returns an object in an error state).
Connection connect(const std::string& name, int* screen) {
    Connection c(xcb_connect(name.empty() ? nullptr : name.c_str(), screen));
    if (xcb_connection_has_error(c.get())) return nullptr;
    return c;
}

xcb_screen_t* screenOf(xcb_connection_t* c, int number) {
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (; it.rem; --number, xcb_screen_next(&it))
        if (number == 0) return it.data;
    return nullptr;
}

bool extensionPresent(xcb_connection_t* c, xcb_extension_t* ext) {
    const xcb_query_extension_reply_t* r = xcb_get_extension_data(c, ext);
    return r && r->present;
}

// Frames a second of a RandR mode, 0 when it carries no timings.
double refreshOf(const xcb_randr_mode_info_t& m) {
    if (m.dot_clock == 0 || m.htotal == 0 || m.vtotal == 0) return 0;
    double hz = static_cast<double>(m.dot_clock) / (static_cast<double>(m.htotal) * m.vtotal);
    if (m.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) hz *= 2;
    if (m.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) hz /= 2;
    return hz;
}

// The fastest current mode among a monitor's outputs; 0 when none says.
double monitorRefresh(xcb_connection_t* c, const xcb_randr_monitor_info_t& monitor,
                      const xcb_randr_get_screen_resources_current_reply_t& resources) {
    const xcb_randr_mode_info_t* modes =
        xcb_randr_get_screen_resources_current_modes(&resources);
    const int modeCount = xcb_randr_get_screen_resources_current_modes_length(&resources);
    const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(&monitor);
    double best = 0;
    for (int i = 0; i < xcb_randr_monitor_info_outputs_length(&monitor); ++i) {
        Reply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, outputs[i], resources.config_timestamp), nullptr));
        if (!output || output->crtc == XCB_NONE) continue;
        Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
            c, xcb_randr_get_crtc_info(c, output->crtc, resources.config_timestamp), nullptr));
        if (!crtc) continue;
        for (int m = 0; m < modeCount; ++m)
            if (modes[m].id == crtc->mode) best = std::max(best, refreshOf(modes[m]));
    }
    return best;
}

// Shared memory only reaches a server on this machine: a host part in the
// display name ("host:0") means the server may sit elsewhere.
bool isLocal(const std::string& name) {
    return name.empty() || name[0] == ':' || name[0] == '/' || name.rfind("unix:", 0) == 0;
}

}  // namespace

std::string defaultDisplayName() {
    const char* d = std::getenv("DISPLAY");
    return d ? d : "";
}

std::string cannotOpenMessage(const std::string& displayName) {
    return "cannot open X display \"" + displayName + "\"";
}

std::optional<std::vector<Monitor>> listMonitors(const std::string& displayName,
                                                 std::string* error) {
    int screenNumber = 0;
    Connection c = connect(displayName, &screenNumber);
    xcb_screen_t* screen = c ? screenOf(c.get(), screenNumber) : nullptr;
    if (!screen) {
        *error = cannotOpenMessage(displayName);
        return std::nullopt;
    }
    std::vector<Monitor> monitors;
    if (extensionPresent(c.get(), &xcb_randr_id)) {
        Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
            c.get(), xcb_randr_query_version(c.get(), 1, 5), nullptr));
        if (version && (version->major_version > 1 || version->minor_version >= 5)) {
            Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
                c.get(), xcb_randr_get_monitors(c.get(), screen->root, 1), nullptr));
            Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
                xcb_randr_get_screen_resources_current_reply(
                    c.get(), xcb_randr_get_screen_resources_current(c.get(), screen->root),
                    nullptr));
            if (reply) {
                for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
                     xcb_randr_monitor_info_next(&it)) {
                    if (it.data->width == 0 || it.data->height == 0) continue;
                    monitors.push_back(
                        {it.data->x, it.data->y, it.data->width, it.data->height,
                         resources ? monitorRefresh(c.get(), *it.data, *resources) : 0,
                         it.data->name});
                }
            }
        }
    }
    if (xcb_connection_has_error(c.get())) {
        *error = cannotOpenMessage(displayName);
        return std::nullopt;
    }
    if (monitors.empty())
        monitors.push_back({0, 0, screen->width_in_pixels, screen->height_in_pixels});
    return monitors;
}

namespace {

// The area of the root that a monitor covers, clipped to the root's size.
Monitor clipToRoot(const Monitor& m, int rootWidth, int rootHeight) {
    const int x0 = std::clamp(m.x, 0, rootWidth), y0 = std::clamp(m.y, 0, rootHeight);
    const int x1 = std::clamp(m.x + m.width, x0, rootWidth);
    const int y1 = std::clamp(m.y + m.height, y0, rootHeight);
    Monitor c = m;
    c.x = x0;
    c.y = y0;
    c.width = x1 - x0;
    c.height = y1 - y0;
    return c;
}

}  // namespace

std::unique_ptr<Grabber> Grabber::open(const std::string& displayName, Monitor area,
                                       int wakeFd, std::string* error) {
    int screenNumber = 0;
    Connection c = connect(displayName, &screenNumber);
    xcb_screen_t* screen = c ? screenOf(c.get(), screenNumber) : nullptr;
    if (!screen) {
        *error = cannotOpenMessage(displayName);
        return nullptr;
    }

    // We read depth-24/32 pixels as B, G, R, X bytes; anything else would
    // need a converter nobody has asked for.
    const xcb_setup_t* setup = xcb_get_setup(c.get());
    int bitsPerPixel = 0;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
        if (it.data->depth == screen->root_depth) bitsPerPixel = it.data->bits_per_pixel;
    const xcb_visualtype_t* visual = nullptr;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem && !visual;
         xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == screen->root_visual) {
                visual = v.data;
                break;
            }
    if (bitsPerPixel != 32 || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || !visual ||
        visual->red_mask != 0xff0000 || visual->green_mask != 0xff00 ||
        visual->blue_mask != 0xff) {
        *error = "unsupported pixel layout on X display \"" + displayName + "\" (depth " +
                 std::to_string(screen->root_depth) + ")";
        return nullptr;
    }

    // The monitor may have shrunk since it was listed: grab what is left.
    const Monitor clipped = clipToRoot(area, screen->width_in_pixels, screen->height_in_pixels);
    if (clipped.width < 1 || clipped.height < 1) {
        *error = "the display is no longer on X display \"" + displayName + "\"";
        return nullptr;
    }

    std::unique_ptr<Grabber> g(new Grabber);
    g->displayName_ = displayName;
    g->root_ = screen->root;
    g->monitorName_ = area.name;
    g->area_ = clipped;
    g->wakeFd_ = wakeFd;
    g->wantShm_ = isLocal(displayName);
    g->conn_ = c.release();

    if (extensionPresent(g->conn_, &xcb_xfixes_id)) {
        // XFixes requires the version handshake before any other request.
        Reply<xcb_xfixes_query_version_reply_t> v(xcb_xfixes_query_version_reply(
            g->conn_, xcb_xfixes_query_version(g->conn_, 4, 0), nullptr));
        g->hasXfixes_ = v && v->major_version >= 1;
        if (v && v->major_version >= 2) g->watch();
    }
    g->makeImage();
    if (xcb_connection_has_error(g->conn_)) {
        *error = cannotOpenMessage(displayName);
        return nullptr;
    }
    return g;
}

Grabber::~Grabber() {
    detachSharedMemory();
    if (conn_) xcb_disconnect(conn_);
}

// Asks for the events that say what to grab: damage to the root (the
// first change after each look, which then takes the damage away), cursor
// shape changes, and changes of the screen's size and monitors. A server
// without damage reports leaves damage_ at 0: every grab is then whole.
void Grabber::watch() {
    const xcb_query_extension_reply_t* damage = xcb_get_extension_data(conn_, &xcb_damage_id);
    if (damage && damage->present) {
        Reply<xcb_damage_query_version_reply_t> v(xcb_damage_query_version_reply(
            conn_, xcb_damage_query_version(conn_, 1, 1), nullptr));
        if (v) {
            damage_ = xcb_generate_id(conn_);
            xcb_damage_create(conn_, damage_, root_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
            region_ = xcb_generate_id(conn_);
            xcb_xfixes_create_region(conn_, region_, 0, nullptr);
            damageEvent_ = damage->first_event;
        }
    }
    xcb_xfixes_select_cursor_input(conn_, root_, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    xfixesEvent_ = xcb_get_extension_data(conn_, &xcb_xfixes_id)->first_event;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(conn_, &xcb_randr_id);
    if (randr && randr->present) {
        Reply<xcb_randr_query_version_reply_t> v(xcb_randr_query_version_reply(
            conn_, xcb_randr_query_version(conn_, 1, 5), nullptr));
        if (v) {
            xcb_randr_select_input(conn_, root_,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
            randrEvent_ = randr->first_event;
        }
    }
    // A resized root, and a changed monitor list, come as ConfigureNotify.
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(conn_, root_, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(conn_);
}

void Grabber::handle(const void* event) {
    const int type = static_cast<const xcb_generic_event_t*>(event)->response_type & 0x7f;
    if (type == 0) return;  // the error of a request nobody checks
    if (damageEvent_ >= 0 && type == damageEvent_ + XCB_DAMAGE_NOTIFY)
        damaged_ = true;
    else if (xfixesEvent_ >= 0 && type == xfixesEvent_ + XCB_XFIXES_CURSOR_NOTIFY)
        cursorShape_ = true;
    else if (type == XCB_CONFIGURE_NOTIFY ||
             (randrEvent_ >= 0 && (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                   type == randrEvent_ + XCB_RANDR_NOTIFY)))
        layout_ = true;
}

// The image the grabs keep up to date: a shared memory segment the server
// writes into where it can, else our own memory. The next grab is whole.
bool Grabber::makeImage() {
    detachSharedMemory();
    bytes_ = static_cast<std::size_t>(area_.width) * area_.height * 4;
    std::vector<std::uint8_t>().swap(plain_);
    whole_ = true;
    cursorDrawn_ = false;
    if (wantShm_ && attachSharedMemory()) return true;
    plain_.resize(bytes_);
    pixels_ = plain_.data();
    return false;
}

bool Grabber::attachSharedMemory() {
    if (!extensionPresent(conn_, &xcb_shm_id)) return false;
    Reply<xcb_shm_query_version_reply_t> v(
        awaitReply<xcb_shm_query_version_reply_t>(xcb_shm_query_version(conn_).sequence));
    if (!v) return false;
    shmId_ = shmget(IPC_PRIVATE, bytes_, IPC_CREAT | 0600);
    if (shmId_ < 0) return false;
    void* addr = shmat(shmId_, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        shmctl(shmId_, IPC_RMID, nullptr);
        shmId_ = -1;
        return false;
    }
    shmAddr_ = static_cast<std::uint8_t*>(addr);
    const std::uint32_t seg = xcb_generate_id(conn_);
    const xcb_void_cookie_t attach = xcb_shm_attach_checked(conn_, seg, shmId_, 0);
    // A later reply means the attach's error, if any, has arrived: checking
    // it then cannot wait on the server.
    Reply<xcb_get_input_focus_reply_t> sync(
        awaitReply<xcb_get_input_focus_reply_t>(xcb_get_input_focus(conn_).sequence));
    Reply<xcb_generic_error_t> err(sync ? xcb_request_check(conn_, attach) : nullptr);
    // Once both sides are attached (or the server refused), mark the segment
    // for removal so it cannot outlive us or the server.
    shmctl(shmId_, IPC_RMID, nullptr);
    if (!sync || err || xcb_connection_has_error(conn_)) {
        shmdt(shmAddr_);
        shmAddr_ = nullptr;
        shmId_ = -1;
        return false;
    }
    shmSegment_ = seg;
    pixels_ = shmAddr_;
    return true;
}

void Grabber::detachSharedMemory() {
    if (shmSegment_ && !xcb_connection_has_error(conn_)) {
        xcb_shm_detach(conn_, shmSegment_);
        xcb_flush(conn_);
    }
    shmSegment_ = 0;
    if (shmAddr_) shmdt(shmAddr_);
    shmAddr_ = nullptr;
    shmId_ = -1;
}

bool Grabber::lost() const { return xcb_connection_has_error(conn_) != 0; }

// What xcb_wait_for_reply does, except that it also gives up once wakeFd_ is
// readable. Returns the reply, or null (an error reply, whose code goes to
// *errorCode, a broken connection, or woken_).
template <class R>
R* Grabber::awaitReply(unsigned int sequence, int* errorCode) {
    xcb_flush(conn_);
    const int connFd = xcb_get_file_descriptor(conn_);
    for (;;) {
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(conn_, sequence, &reply, &error)) {
            if (error && errorCode) *errorCode = error->error_code;
            std::free(error);
            return static_cast<R*>(reply);
        }
        if (woken_) return nullptr;
        pollfd fds[2] = {{connFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, wakeFd_ >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return nullptr;
        if (fds[1].revents) {
            woken_ = true;
            return nullptr;
        }
    }
}

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
    rgbnv12::blendPremultiplied(xcb_xfixes_get_cursor_image_cursor_image(c.get()), cursorW_,
                                cursorH_, x, y, pixels_, area_.width * 4, area_.width,
                                area_.height);
    return b;
}

}  // namespace x11

// The X11 binding's connection to the server: the display name, the
// server's monitors, opening a grabber (its extensions, the events it
// watches, the image it keeps) and waiting for a reply that a stop can
// interrupt. The grabbing itself is in grab.cpp.
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
namespace {

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

void* Grabber::awaitAny(unsigned int sequence, int* errorCode) {
    xcb_flush(conn_);
    const int connFd = xcb_get_file_descriptor(conn_);
    for (;;) {
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(conn_, sequence, &reply, &error)) {
            if (error && errorCode) *errorCode = error->error_code;
            std::free(error);
            return reply;
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

}  // namespace capture::x11

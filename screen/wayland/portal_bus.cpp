// The desktop portal's ScreenCast handshake over sd-bus (libsystemd): a
// private connection to the session bus per capture, so nothing is shared
// with the host's own D-Bus use, and no main loop of anyone's is needed: the
// content thread waits on the connection itself, the capture thread polls
// its descriptor.
//
// Every portal request answers later with a Response signal on a Request
// object whose path the caller can compute from its unique name and the
// handle_token it chose; the match is in place before the call, so a quick
// answer is never missed. There is no time-out: the user may take as long
// as they like in the consent dialog. A portal that leaves the bus while a
// request waits ends the wait.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <utility>

#include "wayland/session.h"

namespace capture::wayland {

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr std::uint32_t kMonitor = 1;
constexpr std::uint32_t kCursorHidden = 1, kCursorEmbedded = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;

std::string errnoText(int negative) { return std::strerror(-negative); }

std::string busErrorText(const sd_bus_error& e, int r) {
    if (e.message && *e.message) return e.message;
    if (e.name) return e.name;
    return errnoText(r);
}

std::string readToken(const std::string& path) {
    std::ifstream in(path);
    std::string token;
    std::getline(in, token);
    return token;
}

// Replaces the file whole (write, then rename), readable by the user only.
void writeToken(const std::string& path, const std::string& token) {
    const std::string dir = path.substr(0, path.rfind('/'));
    ::mkdir(dir.substr(0, dir.rfind('/')).c_str(), 0700);
    ::mkdir(dir.c_str(), 0700);
    const std::string tmp = path + ".new";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string line = token + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) ::unlink(tmp.c_str());
}

// Whether PipeWire's socket, where libpipewire looks for it, takes a
// connection. A portal backend whose PipeWire is gone may never answer
// Start, so this is asked before the user is. Inside a sandbox PipeWire is
// reached only through the portal, and without a runtime directory there is
// nowhere to look: the portal tells then.
bool pipewireAnswers(std::string* error) {
    if (::access("/.flatpak-info", F_OK) == 0) return true;
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    std::string path = remote && *remote ? remote : "pipewire-0";
    if (path[0] != '/') {
        const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (!dir || !*dir) dir = std::getenv("XDG_RUNTIME_DIR");
        if (!dir || !*dir) return true;
        path = std::string(dir) + "/" + path;
    }
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return true;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const int e = errno;
    ::close(fd);
    if (!ok) *error = "PipeWire is not running: cannot connect to " + path + ": " + std::strerror(e);
    return ok;
}

}  // namespace

std::string restoreTokenPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/') return std::string(state) + "/mirvo/screencast-restore-token";
    const char* home = std::getenv("HOME");
    if (home && *home == '/') return std::string(home) + "/.local/state/mirvo/screencast-restore-token";
    return {};
}

struct Session::Impl {
    ~Impl() {
        if (sessionClosed) sd_bus_slot_unref(sessionClosed);
        if (ownerChanged) sd_bus_slot_unref(ownerChanged);
        if (bus) sd_bus_flush_close_unref(bus);
    }

    sd_bus* bus = nullptr;
    std::string sender;  // unique name without ':' and with '.' as '_'
    std::string handle;  // the session's object path
    int counter = 0;
    std::string ended;   // why the wait or the session ended; empty while it lasts
    sd_bus_slot* ownerChanged = nullptr;
    sd_bus_slot* sessionClosed = nullptr;

    // One Response in hand.
    struct Answer {
        bool got = false;
        std::uint32_t code = 2;
        sd_bus_message* results = nullptr;  // positioned at the results dict
    };

    static int onResponse(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* a = static_cast<Answer*>(data);
        if (a->got) return 0;
        a->got = true;
        if (sd_bus_message_read(m, "u", &a->code) >= 0) a->results = sd_bus_message_ref(m);
        return 0;
    }

    static int onOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
        const char *name = nullptr, *from = nullptr, *to = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &from, &to) < 0) return 0;
        auto* self = static_cast<Impl*>(data);
        if (name && std::strcmp(name, kPortal) == 0 && (!to || !*to) && self->ended.empty())
            self->ended = "the desktop portal left the session bus";
        return 0;
    }

    static int onClosed(sd_bus_message*, void* data, sd_bus_error*) {
        auto* self = static_cast<Impl*>(data);
        if (self->ended.empty()) self->ended = "the desktop portal closed the screen cast session";
        return 0;
    }

    // Runs until the answer or the end; false with *error on the end.
    bool await(Answer& a, std::string* error) {
        while (!a.got && ended.empty()) {
            int r = sd_bus_process(bus, nullptr);
            if (r > 0) continue;
            if (r == 0) r = sd_bus_wait(bus, UINT64_MAX);
            if (r < 0 && r != -EINTR) {
                ended = "lost the session bus: " + errnoText(r);
                break;
            }
        }
        if (a.got) return true;
        *error = ended;
        return false;
    }

    // Calls a request method: append(message) adds the arguments before the
    // options, options(message) the entries of the options dict after
    // handle_token. On an answer of 0 returns the Response, positioned at its
    // results (the caller unrefs); otherwise null with *error.
    template <class Args, class Options>
    sd_bus_message* request(const char* method, Args append, Options options, std::string* error) {
        const std::string token = "mirvo" + std::to_string(++counter);
        const std::string path = std::string(kPath) + "/request/" + sender + "/" + token;
        Answer answer;
        sd_bus_slot* slot = nullptr;
        int r = sd_bus_match_signal(bus, &slot, kPortal, path.c_str(),
                                    "org.freedesktop.portal.Request", "Response", onResponse,
                                    &answer);
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        sd_bus_error e{};  // SD_BUS_ERROR_NULL, without its compound literal
        if (r >= 0) r = sd_bus_message_new_method_call(bus, &call, kPortal, kPath, kScreenCast, method);
        if (r >= 0) r = append(call);
        if (r >= 0) r = sd_bus_message_open_container(call, 'a', "{sv}");
        if (r >= 0) r = sd_bus_message_append(call, "{sv}", "handle_token", "s", token.c_str());
        if (r >= 0) r = options(call);
        if (r >= 0) r = sd_bus_message_close_container(call);
        if (r >= 0) r = sd_bus_call(bus, call, UINT64_MAX, &e, &reply);
        if (r < 0) {
            *error = std::string(method) + ": " + busErrorText(e, r);
        } else if (await(answer, error)) {
            if (answer.code == 0 && answer.results) {
                sd_bus_slot_unref(slot);
                sd_bus_message_unref(call);
                sd_bus_message_unref(reply);
                return answer.results;
            }
            *error = answer.code == 1
                         ? "the user declined screen capture in the desktop portal's dialog"
                         : "the desktop portal refused " + std::string(method) +
                               " (response " + std::to_string(answer.code) + ")";
        }
        sd_bus_message_unref(answer.results);
        sd_bus_error_free(&e);
        sd_bus_slot_unref(slot);
        sd_bus_message_unref(call);
        sd_bus_message_unref(reply);
        return nullptr;
    }

    std::uint32_t property(const char* name, std::string* error) {
        sd_bus_error e{};  // SD_BUS_ERROR_NULL, without its compound literal
        std::uint32_t value = 0;
        const int r = sd_bus_get_property_trivial(bus, kPortal, kPath, kScreenCast, name, &e, 'u',
                                                  &value);
        if (r < 0 && error) *error = busErrorText(e, r);
        sd_bus_error_free(&e);
        return r < 0 ? 0 : value;
    }
};

namespace {

// Walks a results dict (a{sv}), calling each(key, message) with the message
// positioned inside the variant; each() reads the value or skips it.
template <class Each>
int forEachResult(sd_bus_message* m, Each each) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        r = sd_bus_message_read(m, "s", &key);
        if (r >= 0) {
            const char* contents = nullptr;
            r = sd_bus_message_peek_type(m, nullptr, &contents);
            if (r >= 0) r = sd_bus_message_enter_container(m, 'v', contents);
            if (r >= 0) r = each(std::string(key), std::string(contents), m);
            if (r >= 0) r = sd_bus_message_exit_container(m);
        }
        if (r >= 0) r = sd_bus_message_exit_container(m);
    }
    return r;
}

int readStringResult(const std::string& type, sd_bus_message* m, std::string* out) {
    if (type != "s" && type != "o") return sd_bus_message_skip(m, type.c_str());
    const char* s = nullptr;
    const int r = sd_bus_message_read_basic(m, type[0], &s);
    if (r >= 0 && s) *out = s;
    return r;
}

}  // namespace

std::unique_ptr<Session> Session::open(bool embedCursor, std::string* error) {
    std::unique_ptr<Session> s(new Session);
    s->impl_ = std::make_unique<Impl>();
    Impl& im = *s->impl_;
    int r = sd_bus_open_user(&im.bus);
    if (r < 0) {
        im.bus = nullptr;
        *error = "cannot connect to the session bus: " + errnoText(r);
        return nullptr;
    }
    const char* unique = nullptr;
    if ((r = sd_bus_get_unique_name(im.bus, &unique)) < 0) {
        *error = "cannot connect to the session bus: " + errnoText(r);
        return nullptr;
    }
    im.sender = unique + 1;
    for (char& c : im.sender)
        if (c == '.') c = '_';
    sd_bus_match_signal(im.bus, &im.ownerChanged, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus", "NameOwnerChanged", Impl::onOwnerChanged, &im);

    std::string why;
    const std::uint32_t version = im.property("version", &why);
    if (version == 0) {
        *error = "no screen cast portal on the session bus: " + why;
        return nullptr;
    }
    if (!pipewireAnswers(error)) return nullptr;
    const std::uint32_t cursors = version >= 2 ? im.property("AvailableCursorModes", nullptr) : 0;
    const std::uint32_t cursor = embedCursor && (cursors & kCursorEmbedded) ? kCursorEmbedded
                                 : (cursors & kCursorHidden)                ? kCursorHidden
                                                                            : 0;
    const auto none = [](sd_bus_message*) { return 0; };

    sd_bus_message* m = im.request(
        "CreateSession", none,
        [](sd_bus_message* c) {
            return sd_bus_message_append(c, "{sv}", "session_handle_token", "s", "mirvo");
        },
        error);
    if (!m) return nullptr;
    r = forEachResult(m, [&](const std::string& key, const std::string& type, sd_bus_message* v) {
        return key == "session_handle" ? readStringResult(type, v, &im.handle)
                                       : sd_bus_message_skip(v, type.c_str());
    });
    sd_bus_message_unref(m);
    if (r < 0 || im.handle.empty()) {
        *error = "CreateSession: the desktop portal gave no session";
        return nullptr;
    }
    sd_bus_match_signal(im.bus, &im.sessionClosed, kPortal, im.handle.c_str(),
                        "org.freedesktop.portal.Session", "Closed", Impl::onClosed, &im);

    const std::string tokenPath = restoreTokenPath();
    const std::string stored = version >= 4 && !tokenPath.empty() ? readToken(tokenPath) : "";
    const char* handle = im.handle.c_str();
    m = im.request(
        "SelectSources", [handle](sd_bus_message* c) { return sd_bus_message_append(c, "o", handle); },
        [&](sd_bus_message* c) {
            int q = sd_bus_message_append(c, "{sv}{sv}", "types", "u", kMonitor, "multiple", "b", 0);
            if (q >= 0 && cursor) q = sd_bus_message_append(c, "{sv}", "cursor_mode", "u", cursor);
            if (q >= 0 && version >= 4)
                q = sd_bus_message_append(c, "{sv}", "persist_mode", "u", kPersistUntilRevoked);
            if (q >= 0 && !stored.empty())
                q = sd_bus_message_append(c, "{sv}", "restore_token", "s", stored.c_str());
            return q;
        },
        error);
    if (!m) return nullptr;
    sd_bus_message_unref(m);

    m = im.request(
        "Start",
        [handle](sd_bus_message* c) { return sd_bus_message_append(c, "os", handle, ""); }, none,
        error);
    if (!m) return nullptr;
    bool haveNode = false;
    std::string token;
    r = forEachResult(m, [&](const std::string& key, const std::string& type, sd_bus_message* v) {
        if (key == "restore_token") return readStringResult(type, v, &token);
        if (key != "streams" || type != "a(ua{sv})") return sd_bus_message_skip(v, type.c_str());
        // The first stream's node; its properties are not needed.
        int q = sd_bus_message_enter_container(v, 'a', "(ua{sv})");
        if (q >= 0 && (q = sd_bus_message_enter_container(v, 'r', "ua{sv}")) > 0) {
            q = sd_bus_message_read(v, "u", &s->node_);
            haveNode = q >= 0;
            if (q >= 0) q = sd_bus_message_skip(v, "a{sv}");
            if (q >= 0) q = sd_bus_message_exit_container(v);
        }
        while (q >= 0 && (q = sd_bus_message_skip(v, "(ua{sv})")) > 0) {
        }
        if (q >= 0) q = sd_bus_message_exit_container(v);
        return q;
    });
    sd_bus_message_unref(m);
    if (r < 0 || !haveNode) {
        *error = "Start: the desktop portal granted no screen";
        return nullptr;
    }
    if (!token.empty() && !tokenPath.empty()) writeToken(tokenPath, token);

    sd_bus_message* reply = nullptr;
    sd_bus_error e{};  // SD_BUS_ERROR_NULL, without its compound literal
    r = sd_bus_call_method(im.bus, kPortal, kPath, kScreenCast, "OpenPipeWireRemote", &e, &reply,
                           "oa{sv}", handle, 0);
    int fd = -1;
    if (r >= 0) r = sd_bus_message_read(reply, "h", &fd);
    if (r >= 0) s->pipewireFd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (r < 0 || s->pipewireFd_ < 0) {
        *error = "cannot reach PipeWire through the desktop portal: " +
                 (r < 0 ? busErrorText(e, r) : errnoText(-errno));
    }
    sd_bus_error_free(&e);
    sd_bus_message_unref(reply);
    if (s->pipewireFd_ < 0) return nullptr;
    return s;
}

Session::~Session() { close(); }

int Session::takePipeWireFd() { return std::exchange(pipewireFd_, -1); }

int Session::busFd() const { return impl_ && impl_->bus ? sd_bus_get_fd(impl_->bus) : -1; }

bool Session::dispatch(std::string* why) {
    if (!impl_ || !impl_->bus) return true;
    Impl& im = *impl_;
    int r;
    while ((r = sd_bus_process(im.bus, nullptr)) > 0) {
    }
    if (r < 0 && im.ended.empty()) im.ended = "lost the session bus: " + errnoText(r);
    if (im.ended.empty()) return true;
    *why = im.ended;
    return false;
}

void Session::close() {
    if (pipewireFd_ >= 0) ::close(std::exchange(pipewireFd_, -1));
    if (!impl_) return;
    Impl& im = *impl_;
    if (im.bus && !im.handle.empty() && im.ended.empty()) {
        // No reply is awaited: a portal that does not answer cannot hold us.
        sd_bus_message* m = nullptr;
        if (sd_bus_message_new_method_call(im.bus, &m, kPortal, im.handle.c_str(),
                                           "org.freedesktop.portal.Session", "Close") >= 0) {
            sd_bus_message_set_expect_reply(m, 0);
            sd_bus_send(im.bus, m, nullptr);
        }
        sd_bus_message_unref(m);
    }
    impl_.reset();
}

}  // namespace capture::wayland

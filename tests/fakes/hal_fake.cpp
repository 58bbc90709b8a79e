#include "hal_fake.h"

#include <cerrno>
#include <cstdio>
#include <map>

#include <poll.h>
#include <unistd.h>

#include "uuid.h"

namespace {

struct Registration {};
Registration gRegistration;
const auto kRegistered = reinterpret_cast<hal::IOProcID>(&gRegistration);

struct FakeState {
    std::map<std::string, hal::OSStatus> statuses;
    std::map<std::string, std::function<void()>> hooks;
    std::optional<std::string> outputUID = "FakeOutput:0";
    std::vector<std::string> uuids;
    std::map<hal::ObjectID, std::string> properties;  // what setters stored, per object
    hal::IOProc proc = nullptr;
    hal::ObjectID procDevice = 0;
    int mirrorFd = -1;
};

FakeState& st() {
    static FakeState s;
    return s;
}

std::string addr(const hal::PropertyAddress& a) {
    std::string s;
    for (auto v : {a.selector, a.scope}) {
        s += "'";
        for (int shift = 24; shift >= 0; shift -= 8) s.push_back(char((v >> shift) & 0xFF));
        s += "',";
    }
    return s + std::to_string(a.element);
}

// Runs the hook, logs the call when `logged`, returns the scripted status.
hal::OSStatus enter(const std::string& name, const std::string& args, bool logged = true) {
    auto& s = st();
    if (auto h = s.hooks.find(name); h != s.hooks.end()) h->second();
    if (logged && s.mirrorFd >= 0) {
        const std::string line = name + "(" + args + ")\n";
        (void)!::write(s.mirrorFd, line.data(), line.size());
    }
    auto it = s.statuses.find(name);
    return it == s.statuses.end() ? 0 : it->second;
}

class FakeTapDescription final : public hal::TapDescription {
public:
    explicit FakeTapDescription(std::string excluded) : text_{{"exclude", excluded}} {}
    void setName(const std::string& v) override { text_["name"] = v; }
    void setUUID(const std::string& v) override { text_["uuid"] = v; }
    void setPrivate(bool v) override { text_["private"] = v ? "true" : "false"; }
    void setMuteBehavior(std::int32_t v) override { text_["mute"] = std::to_string(v); }
    std::string uuid() const override { return text_.count("uuid") ? text_.at("uuid") : ""; }
    std::string text() const {
        std::string t;
        for (const auto& [k, v] : text_) t += (t.empty() ? "" : ",") + k + "=" + v;
        return t;
    }

private:
    std::map<std::string, std::string> text_;  // sorted: the order of the setters is free
};

std::string toText(const hal::PlistValue& v) {
    if (auto b = std::get_if<bool>(&v.v)) return *b ? "true" : "false";
    if (auto s = std::get_if<std::string>(&v.v)) return "\"" + *s + "\"";
    std::string t;
    if (auto a = std::get_if<hal::PlistArray>(&v.v)) {
        for (const auto& e : *a) t += (t.empty() ? "" : ",") + toText(e);
        return "[" + t + "]";
    }
    for (const auto& e : std::get<hal::PlistDict>(v.v)) t += (t.empty() ? "" : ",") + e.key + "=" + toText(e.value);
    return "{" + t + "}";
}

std::string idText(hal::IOProcID id) { return id == nullptr ? "null" : id == kRegistered ? "P1" : "?"; }

}  // namespace

namespace fake {

void reset() { st() = FakeState{}; }
void setStatus(const std::string& call, hal::OSStatus status) { st().statuses[call] = status; }
void setOutputUID(std::optional<std::string> uid) { st().outputUID = std::move(uid); }
void setUUIDs(std::vector<std::string> uuids) { st().uuids = std::move(uuids); }
void onCall(const std::string& call, std::function<void()> action) { st().hooks[call] = std::move(action); }
void mirrorLogTo(int fd) { st().mirrorFd = fd; }

hal::OSStatus feedCycle(const hal::AudioBufferList* input) {
    auto& s = st();
    if (s.proc == nullptr) return hal::kIllegalOperationError;
    return s.proc(s.procDevice, nullptr, input, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace fake

namespace hal {

std::unique_ptr<TapDescription> makeStereoGlobalTapButExcludeProcesses(const std::vector<ObjectID>& excluded) {
    std::string list;
    for (auto id : excluded) list += (list.empty() ? "" : ";") + std::to_string(id);
    return std::make_unique<FakeTapDescription>("[" + list + "]");
}

std::string newUUIDString() {
    auto& u = st().uuids;
    if (u.empty()) return randomUUIDString();
    std::string first = u.front();
    u.erase(u.begin());
    return first;
}

OSStatus createProcessTap(TapDescription& description, ObjectID* outTap) {
    const auto status = enter("createProcessTap", static_cast<FakeTapDescription&>(description).text());
    if (status == 0) *outTap = 10;
    return status;
}

OSStatus destroyProcessTap(ObjectID tap) { return enter("destroyProcessTap", std::to_string(tap)); }

OSStatus getPropertyObjectID(ObjectID object, const PropertyAddress& address, ObjectID* out) {
    const auto status = enter("getPropertyObjectID", std::to_string(object) + "," + addr(address));
    if (status == 0) *out = 42;
    return status;
}

OSStatus getPropertyString(ObjectID object, const PropertyAddress& address, std::optional<std::string>* out) {
    const auto status = enter("getPropertyString", std::to_string(object) + "," + addr(address));
    if (status == 0) *out = st().outputUID;
    return status;
}

OSStatus setPropertyFloat64(ObjectID object, const PropertyAddress& address, double value) {
    const auto status = enter("setPropertyFloat64", "", false);
    char v[32];
    std::snprintf(v, sizeof v, "%.1f", value);
    if (status == 0) st().properties[object] += "," + addr(address) + "=" + v;
    return status;
}

OSStatus createAggregateDevice(const PlistDict& description, ObjectID* outDevice) {
    const auto status = enter("createAggregateDevice", toText(PlistValue{description}));
    if (status == 0) *outDevice = 20;
    return status;
}

OSStatus destroyAggregateDevice(ObjectID device) {
    return enter("destroyAggregateDevice", std::to_string(device));
}

OSStatus createIOProcID(ObjectID device, IOProc proc, void* clientData, IOProcID* outID) {
    const auto status = enter("createIOProcID", std::to_string(device) + "," + (clientData ? "client" : "null"));
    if (status == 0) {
        st().proc = proc;
        st().procDevice = device;
        *outID = kRegistered;
    }
    return status;
}

OSStatus destroyIOProcID(ObjectID device, IOProcID id) {
    return enter("destroyIOProcID", std::to_string(device) + "," + idText(id));
}

// The line shows the properties set on the device before it started.
OSStatus deviceStart(ObjectID device, IOProcID id) {
    return enter("deviceStart", std::to_string(device) + "," + idText(id) + st().properties[device]);
}

OSStatus deviceStop(ObjectID device, IOProcID id) {
    return enter("deviceStop", std::to_string(device) + "," + idText(id));
}

OSStatus runMainLoop(int wakeFd) {
    // A scripted status is a capture lost underneath the program.
    if (const OSStatus lost = enter("runMainLoop", ""); lost != 0) return lost;
    // Wait for the wake-up as the real loops do; after 10 s a broken test
    // ends instead of hanging (the loop then "ends by itself").
    pollfd p{wakeFd, POLLIN, 0};
    while (::poll(&p, 1, 10000) < 0 && errno == EINTR) {
    }
    return 0;
}

}  // namespace hal

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

struct FakeState {
    std::map<std::string, hal::OSStatus> statuses;
    std::map<std::string, std::function<void()>> hooks;
    hal::ObjectID defaultDevice = fake::kOutputDeviceID;
    std::optional<std::string> outputUID = fake::kOutputUID;
    std::vector<std::string> uuids;
    std::vector<std::string> log;
    hal::PlistDict aggregate;
    hal::IOProc proc = nullptr;
    hal::ObjectID procDevice = 0;
    int mirrorFd = -1;
};

FakeState& st() {
    static FakeState s;
    return s;
}

std::string fcc(std::uint32_t v) {
    std::string s = "'";
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(char((v >> shift) & 0xFF));
    return s + "'";
}

std::string addr(const hal::PropertyAddress& a) {
    return fcc(a.selector) + "," + fcc(a.scope) + "," + std::to_string(a.element);
}

hal::OSStatus enter(const std::string& name, const std::string& args) {
    auto& s = st();
    if (auto h = s.hooks.find(name); h != s.hooks.end()) h->second();
    std::string line = name + "(" + args + ")";
    s.log.push_back(line);
    if (s.mirrorFd >= 0) {
        line.push_back('\n');
        (void)!::write(s.mirrorFd, line.data(), line.size());
    }
    auto it = s.statuses.find(name);
    return it == s.statuses.end() ? 0 : it->second;
}

class FakeTapDescription final : public hal::TapDescription {
public:
    void setName(const std::string& name) override { enter("setName", name); name_ = name; }
    void setUUID(const std::string& uuid) override { enter("setUUID", uuid); uuid_ = uuid; }
    void setPrivate(bool p) override { enter("setPrivate", p ? "true" : "false"); private_ = p; }
    void setMuteBehavior(std::int32_t b) override {
        enter("setMuteBehavior", std::to_string(b));
        mute_ = b;
    }
    std::string uuid() const override {
        enter("uuid", "");
        return uuid_;
    }
    std::string text() const {
        return "name=" + name_ + ",uuid=" + uuid_ + ",private=" + (private_ ? "true" : "false") +
               ",mute=" + std::to_string(mute_);
    }

private:
    std::string name_, uuid_;
    bool private_ = false;
    std::int32_t mute_ = -1;
};

std::string idText(hal::IOProcID id) {
    return id == nullptr ? "null" : id == reinterpret_cast<hal::IOProcID>(&gRegistration) ? "P1" : "?";
}

}  // namespace

namespace fake {

void reset() { st() = FakeState{}; }
void setStatus(const std::string& call, hal::OSStatus status) { st().statuses[call] = status; }
void setDefaultDevice(hal::ObjectID device) { st().defaultDevice = device; }
void setOutputUID(std::optional<std::string> uid) { st().outputUID = std::move(uid); }
void setUUIDs(std::vector<std::string> uuids) { st().uuids = std::move(uuids); }
void onCall(const std::string& call, std::function<void()> action) {
    st().hooks[call] = std::move(action);
}
void mirrorLogTo(int fd) { st().mirrorFd = fd; }
const std::vector<std::string>& log() { return st().log; }
const hal::PlistDict& lastAggregateDescription() { return st().aggregate; }
hal::IOProc registeredProc() { return st().proc; }

hal::OSStatus feedCycle(const hal::AudioBufferList* input) {
    auto& s = st();
    if (s.proc == nullptr) return hal::kIllegalOperationError;
    return s.proc(s.procDevice, nullptr, input, nullptr, nullptr, nullptr, nullptr);
}

std::string toText(const hal::PlistValue& v) {
    if (auto b = std::get_if<bool>(&v.v)) return *b ? "true" : "false";
    if (auto s = std::get_if<std::string>(&v.v)) return "\"" + *s + "\"";
    if (auto a = std::get_if<hal::PlistArray>(&v.v)) {
        std::string t = "[";
        for (std::size_t i = 0; i < a->size(); ++i) t += (i ? "," : "") + toText((*a)[i]);
        return t + "]";
    }
    return toText(std::get<hal::PlistDict>(v.v));
}

std::string toText(const hal::PlistDict& d) {
    std::string t = "{";
    for (std::size_t i = 0; i < d.size(); ++i) {
        t += (i ? "," : "") + d[i].key + "=" + toText(d[i].value);
    }
    return t + "}";
}

}  // namespace fake

namespace hal {

std::unique_ptr<TapDescription> makeStereoGlobalTapButExcludeProcesses(
    const std::vector<ObjectID>& excluded) {
    std::string list;
    for (auto id : excluded) list += (list.empty() ? "" : ",") + std::to_string(id);
    enter("makeStereoGlobalTapButExcludeProcesses", "[" + list + "]");
    return std::make_unique<FakeTapDescription>();
}

std::string newUUIDString() {
    auto& s = st();
    std::string u;
    if (!s.uuids.empty()) {
        u = s.uuids.front();
        s.uuids.erase(s.uuids.begin());
    } else {
        u = randomUUIDString();
    }
    enter("newUUIDString", "");
    return u;
}

OSStatus createProcessTap(TapDescription& description, ObjectID* outTap) {
    const auto status =
        enter("createProcessTap", static_cast<FakeTapDescription&>(description).text() +
                                      ",out=" + std::to_string(*outTap));
    if (status == 0) *outTap = fake::kTapID;
    return status;
}

OSStatus destroyProcessTap(ObjectID tap) { return enter("destroyProcessTap", std::to_string(tap)); }

OSStatus getPropertyObjectID(ObjectID object, const PropertyAddress& address, ObjectID* out) {
    const auto status = enter("getPropertyObjectID",
                              std::to_string(object) + "," + addr(address) + ",in=" + std::to_string(*out));
    if (status == 0) *out = st().defaultDevice;
    return status;
}

OSStatus getPropertyString(ObjectID object, const PropertyAddress& address,
                           std::optional<std::string>* out) {
    const auto status = enter("getPropertyString", std::to_string(object) + "," + addr(address));
    if (status == 0) *out = st().outputUID;
    return status;
}

OSStatus setPropertyFloat64(ObjectID object, const PropertyAddress& address, double value) {
    char v[32];
    std::snprintf(v, sizeof v, "%.1f", value);
    return enter("setPropertyFloat64", std::to_string(object) + "," + addr(address) + "," + v);
}

OSStatus createAggregateDevice(const PlistDict& description, ObjectID* outDevice) {
    st().aggregate = description;
    const auto status = enter("createAggregateDevice",
                              fake::toText(description) + ",out=" + std::to_string(*outDevice));
    if (status == 0) *outDevice = fake::kAggregateID;
    return status;
}

OSStatus destroyAggregateDevice(ObjectID device) {
    return enter("destroyAggregateDevice", std::to_string(device));
}

OSStatus createIOProcID(ObjectID device, IOProc proc, void* clientData, IOProcID* outID) {
    const auto status = enter("createIOProcID", std::to_string(device) + "," +
                                                    (clientData ? "client" : "null") + ",out=" +
                                                    idText(*outID));
    if (status == 0) {
        st().proc = proc;
        st().procDevice = device;
        *outID = reinterpret_cast<IOProcID>(&gRegistration);
    }
    return status;
}

OSStatus destroyIOProcID(ObjectID device, IOProcID id) {
    return enter("destroyIOProcID", std::to_string(device) + "," + idText(id));
}

OSStatus deviceStart(ObjectID device, IOProcID id) {
    return enter("deviceStart", std::to_string(device) + "," + idText(id));
}

OSStatus deviceStop(ObjectID device, IOProcID id) {
    return enter("deviceStop", std::to_string(device) + "," + idText(id));
}

OSStatus runMainLoop(int wakeFd) {
    // A scripted status is a capture lost underneath the program.
    if (const OSStatus lost = enter("runMainLoop", ""); lost != 0) return lost;
    // Wait for the wake-up, as the real loops do; give up after 10 s so a
    // broken test ends instead of hanging (the loop then "ends by itself").
    pollfd p{wakeFd, POLLIN, 0};
    for (;;) {
        const int r = ::poll(&p, 1, 10000);
        if (r < 0 && errno == EINTR) continue;
        return 0;
    }
}

}  // namespace hal

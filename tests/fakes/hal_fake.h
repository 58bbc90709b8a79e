// Scriptable stand-in for the audio program's platform (hal.h).
//
// Every platform call is appended to a log as one line, "name(args)"; a test
// chooses what any call returns, hooks an action onto any call (raise a
// signal, feed IO cycles), and reads the log back. The log can also be
// mirrored to a descriptor so that a parent process reads what a child did.
// Not thread-safe: tests drive it from one thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hal.h"

namespace fake {

// Object IDs the fake hands out.
constexpr hal::ObjectID kTapID = 10;
constexpr hal::ObjectID kAggregateID = 20;
constexpr hal::ObjectID kOutputDeviceID = 42;
inline const std::string kOutputUID = "FakeOutput:0";

void reset();

// The named call (e.g. "deviceStart") returns `status` from now on.
void setStatus(const std::string& call, hal::OSStatus status);
// What the two property reads yield on success.
void setDefaultDevice(hal::ObjectID device);
void setOutputUID(std::optional<std::string> uid);
// UUIDs handed out by newUUIDString(), in order; random ones afterwards.
void setUUIDs(std::vector<std::string> uuids);
// Runs `action` each time the named call is entered, before it is logged.
void onCall(const std::string& call, std::function<void()> action);
// Mirrors each log line, with a trailing '\n', to fd.
void mirrorLogTo(int fd);

const std::vector<std::string>& log();
const hal::PlistDict& lastAggregateDescription();
hal::IOProc registeredProc();

// Calls the registered IO proc as the platform's IO thread would.
hal::OSStatus feedCycle(const hal::AudioBufferList* input);

// Compact text of a property-list value: {k=v,...}, [..], "str", true/false.
std::string toText(const hal::PlistValue& v);
std::string toText(const hal::PlistDict& d);

}  // namespace fake

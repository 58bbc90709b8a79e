// Scriptable stand-in for the audio program's platform (hal.h).
//
// The calls whose order the program promises (creation, the queries setup
// depends on, the main loop and teardown) are logged as "name(args)" and
// mirrored to a descriptor, so a parent reads what a child did. Setters are
// not logged: their effect shows in the state a later call reports (the tap
// description in createProcessTap, the device's properties in deviceStart),
// so they may come in any order. Single-threaded.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hal.h"

namespace fake {

void reset();
// The named call (e.g. "deviceStart") returns `status` from now on.
void setStatus(const std::string& call, hal::OSStatus status);
// The output UID the property read yields on success.
void setOutputUID(std::optional<std::string> uid);
// UUIDs handed out by newUUIDString(), in order; random ones afterwards.
void setUUIDs(std::vector<std::string> uuids);
// Runs `action` each time the named call is entered, before it is logged.
void onCall(const std::string& call, std::function<void()> action);
void mirrorLogTo(int fd);

// Calls the registered IO proc as the platform's IO thread would.
hal::OSStatus feedCycle(const hal::AudioBufferList* input);

}  // namespace fake

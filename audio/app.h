// Capture setup of the audio program: build the process tap, find the
// default output, join both in a private aggregate device, ask for 48 kHz,
// start the IO proc, then wait until a signal ends the process.
//
// Everything here runs on the main thread.
#pragma once

#include <string>

#include "hal.h"

struct App {
    // The program's whole life up to the run loop; returns only if the
    // platform ends the loop by itself.
    static void main();
};

// What setup built, recorded only once the device has started; read by the
// teardown. 0 / nullptr mean "none".
namespace State {
extern hal::ObjectID tapID;
extern hal::ObjectID aggID;
extern hal::IOProcID ioProcID;
}  // namespace State

// Stops and destroys what State records, in the fixed order and by its
// guards; a write waiting on standard output is given up first. Main thread
// only.
void releaseAll();

// releaseAll(), then exit: status 0, or through die() with
// "write to standard output: <error>" when a write to standard output
// failed. Never returns.
[[noreturn]] void tearDown();

// The default output device's UID. Ends the process through die() when the
// device or its UID cannot be read.
std::string defaultOutputUID();

// The aggregate device's description: exactly eight entries, in this order.
hal::PlistDict aggregateDescription(const std::string& aggregateUID, const std::string& outputUID,
                                    const std::string& tapUID);

inline constexpr const char* kTapName = "MirvoSystemTap";
inline constexpr const char* kAggregateName = "MirvoAggregate";
inline constexpr const char* kAggregateUIDPrefix = "app.mirvo.tap.";
inline constexpr double kNominalRate = 48000.0;

// How the audio program ends: the wake-up that asks for an orderly teardown
// on SIGINT/SIGTERM (or when the reader of standard output has gone; the
// teardown itself is in app.h), and die() on a setup failure.
//
// Signal handlers run on any thread and only wake the main thread through a
// self-pipe: the teardown calls are not async-signal-safe. The main thread
// then tears down in the fixed order, once, and exits 0.
#pragma once

#include <string_view>

// Creates the wake-up pipe; called first thing in App::main().
void initShutdown();

// The read end the main loop waits on. Nothing drains it: once a shutdown
// has been requested it stays readable, which is how a write of the IO proc
// that waits on standard output learns that it should give up.
int shutdownWakeFd();

// Asks the main thread to tear down and exit 0. Async-signal-safe; callable
// from any thread, any number of times.
void requestShutdown();

// Whether requestShutdown() has been called.
bool shutdownRequested();

// The SIGINT/SIGTERM handler: ignores its argument and wakes the main thread.
void onSignal(int sig);

// Writes "pelko: " + message + "\n" to standard error in one piece and exits
// with status 1. Nothing is torn down.
[[noreturn]] void die(std::string_view message);

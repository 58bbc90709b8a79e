// A private Xvfb for one test, started and painted by scripts/xvfb-server.sh
// (four quadrants: red, green / blue, white) and stopped when the object
// goes. Used by the capture tests on their main thread.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

class XvfbServer {
public:
    // xvfbArgs: extra server arguments, e.g. "-extension MIT-SHM".
    explicit XvfbServer(const std::string& xvfbArgs = "") {
        const std::string cmd = std::string("'") + MIRVO_XVFB_SCRIPT + "' start '" +
                                MIRVO_PAINTER + "' " + xvfbArgs;
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char line[64] = {};
            if (std::fgets(line, sizeof line, p)) display_ = line;
            while (!display_.empty() && (display_.back() == '\n' || display_.back() == '\r'))
                display_.pop_back();
            if (pclose(p) != 0) display_.clear();
        }
    }
    ~XvfbServer() { stop(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N", or empty when the server could not be started.
    const std::string& display() const { return display_; }

    // Ends the server now (idempotent); returns once it has gone.
    void stop() {
        if (display_.empty()) return;
        const std::string cmd = std::string("'") + MIRVO_XVFB_SCRIPT + "' stop '" + display_ + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "xvfb: stop failed\n");
        display_.clear();
    }

private:
    std::string display_;
};

// A private PulseAudio server for one end-to-end test, started and stopped
// by scripts/pulse-server.sh in a fresh directory under /tmp. Starting it
// points this process's environment (PULSE_SERVER, PULSE_COOKIE) at it, so
// the test's clients and children find it. Test threads only.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace testing_support {

class PrivatePulse {
public:
    explicit PrivatePulse(std::string script) : script_(std::move(script)) {}
    ~PrivatePulse() { stop(); }
    PrivatePulse(const PrivatePulse&) = delete;
    PrivatePulse& operator=(const PrivatePulse&) = delete;

    // False when the server did not come up (see dir() + "/server.log").
    bool start(const std::string& dirPrefix, const std::string& sink = "") {
        std::string tmpl = "/tmp/" + dirPrefix + ".XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) return false;
        dir_ = tmpl;
        std::string env;
        if (!run("'" + script_ + "' start " + dir_ + (sink.empty() ? "" : " " + sink), &env)) {
            return false;
        }
        bool server = false;
        for (std::size_t at = 0; at < env.size();) {
            std::size_t end = env.find('\n', at);
            if (end == std::string::npos) end = env.size();
            const std::string line = env.substr(at, end - at);
            if (const auto eq = line.find('='); eq != std::string::npos) {
                ::setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
                server = server || line.rfind("PULSE_SERVER=", 0) == 0;
            }
            at = end + 1;
        }
        up_ = server;
        return up_;
    }

    // Ends the server now; idempotent.
    void stop() {
        if (up_) run("'" + script_ + "' stop " + dir_, nullptr);
        up_ = false;
    }

    // Removes the directory; tests keep it after a failure for its log.
    void removeDir() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }

    const std::string& dir() const { return dir_; }

private:
    static bool run(const std::string& command, std::string* out) {
        FILE* f = ::popen(command.c_str(), "r");
        if (f == nullptr) return false;
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) {
            if (out) out->append(buf, n);
        }
        const int st = ::pclose(f);
        return WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }

    std::string script_;
    std::string dir_;
    bool up_ = false;
};

}  // namespace testing_support

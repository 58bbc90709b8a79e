// What a process holds, read from /proc/self: open descriptors, threads and
// resident pages. For the start/stop cycle tests.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <string>

struct ProcUsage {
    int fds = 0;
    int threads = 0;
    long residentKiB = 0;

    static ProcUsage now() {
        ProcUsage u;
        u.fds = count("/proc/self/fd") - 1;  // less the one listing it
        u.threads = count("/proc/self/task");
        long size = 0, resident = 0;
        if (FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
            std::fclose(f);
        }
        u.residentKiB = resident * (::sysconf(_SC_PAGESIZE) / 1024);
        return u;
    }

private:
    static int count(const char* dir) {
        int n = 0;
        if (DIR* d = ::opendir(dir)) {
            while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
            ::closedir(d);
        }
        return n;
    }
};

// Shared pieces of the platform layer's tests: the object file behind a name,
// and an "agent" child process that runs platform calls on request, so a test
// can act as a second process step by step. Every reply is one line of
// hexadecimal numbers.
#pragma once

#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "internals.h"
#include "test_util.h"

namespace vtp {

// The file in the user's object directory that holds the object called name,
// and its full path.
inline std::string file_of(const std::string &name) {
    char path[vexa::posix::k_path_max];
    DWORD error = 0;
    if (!vexa::posix::object_path(name.c_str(), path, error)) return {};
    return path;
}
inline std::string object_dir_path(uid_t uid = geteuid()) {
    return std::string(vexa::posix::k_shm_root) + "/vexa." + std::to_string(uid);
}
inline std::string path_of(const std::string &name) { return object_dir_path() + "/" + file_of(name); }

inline bool listed(const std::string &name) {
    const std::string file = file_of(name);
    for (const auto &e : vt::shm_entries(file))
        if (e == file) return true;
    return false;
}

// Thread tid (of any process) is asleep in a futex wait on a lock word,
// that is, queued on a mutex; /proc shows the system call a blocked thread
// sleeps in.
inline bool queued_on_mutex(pid_t tid) {
    char path[64], text[256] = {};
    snprintf(path, sizeof path, "/proc/%d/syscall", static_cast<int>(tid));
    FILE *f = fopen(path, "r");
    if (!f) return false;
    const bool got = fgets(text, sizeof text, f) != nullptr;
    fclose(f);
    long nr = -1;
    unsigned long addr = 0, op = 0;
    if (!got || sscanf(text, "%ld %lx %lx", &nr, &addr, &op) != 3 || nr != SYS_futex) return false;
    op &= FUTEX_CMD_MASK;
    return op == FUTEX_WAIT_BITSET;
}

// While a handle is open its object keeps its name: the name leads to it.
inline bool name_leads_to_object(HANDLE h) {
    vexa::posix::HandleRef ref(h);
    struct stat st {};
    return ref && stat((object_dir_path() + "/" + ref->path).c_str(), &st) == 0 && st.st_dev == ref->dev &&
           st.st_ino == ref->ino;
}

// Creates or opens name, checks the handle's object still has the name,
// closes; returns the number of handles that had landed on a removed object.
inline int churn(const std::string &name, int rounds) {
    int stray = 0;
    for (int i = 0; i < rounds; ++i) {
        HANDLE h = (i % 3 == 0) ? CreateEventA(nullptr, FALSE, FALSE, name.c_str())
                                : OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
        if (!h) continue;
        if (!name_leads_to_object(h)) ++stray;
        CloseHandle(h);
    }
    return stray;
}

inline std::string hex(std::uint64_t v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v));
    return buf;
}
inline std::string hex(const void *p) { return hex(reinterpret_cast<std::uintptr_t>(p)); }
inline HANDLE as_handle(std::uint64_t v) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(v)); }

// A child process that runs the platform calls it is sent (see the agent role
// in test_platform.cpp for the commands).
struct Agent {
    explicit Agent(const char *role = "platform_agent") : child(vt::Child::spawn(role)) {}
    vt::Child child;
    std::vector<std::uint64_t> ask(const std::string &command) {
        std::vector<std::uint64_t> out;
        std::string line;
        if (!child.send(command) || !child.recv(line)) {
            ADD_FAILURE() << "agent gave no answer to: " << command;
            return {0, 0};
        }
        std::istringstream in(line);
        for (std::string tok; in >> tok;) out.push_back(std::strtoull(tok.c_str(), nullptr, 16));
        while (out.size() < 2) out.push_back(0);
        return out;
    }
    ~Agent() {
        child.send("exit");
        child.wait();
    }
};

} // namespace vtp

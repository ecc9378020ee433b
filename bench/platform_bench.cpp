// Costs of the platform layer's hot operations: taking and releasing a named
// mutex nobody else wants, taking and releasing one that another process
// takes and releases as fast as it can (every take then waits for a
// hand-over), and an event round trip to another process (we signal it, it
// wakes and signals back). The peers are this program run again with --echo
// or --contend.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "shm/win_api.h"

extern char **environ;

namespace {

std::string bench_name(const char *what) {
    char buf[96];
    snprintf(buf, sizeof buf, "/vexa-bench-%s-%d", what, static_cast<int>(getpid()));
    return buf;
}

void BM_MutexTakeRelease(benchmark::State &state) {
    HANDLE m = CreateMutexA(nullptr, FALSE, bench_name("mutex").c_str());
    if (!m) {
        state.SkipWithError("CreateMutexA failed");
        return;
    }
    for (auto _ : state) {
        if (WaitForSingleObject(m, INFINITE) != WAIT_OBJECT_0 || !ReleaseMutex(m)) {
            state.SkipWithError("wait or release failed");
            break;
        }
    }
    CloseHandle(m);
}
BENCHMARK(BM_MutexTakeRelease);

void BM_EventSetAndPoll(benchmark::State &state) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, bench_name("poll").c_str());
    for (auto _ : state) {
        SetEvent(e);
        benchmark::DoNotOptimize(WaitForSingleObject(e, 0));
    }
    CloseHandle(e);
}
BENCHMARK(BM_EventSetAndPoll);

// The peer: waits on ping, answers on pong, until told to stop.
int echo(const char *ping_name, const char *pong_name, const char *stop_name) {
    HANDLE ping = OpenEventA(EVENT_ALL_ACCESS, FALSE, ping_name);
    HANDLE pong = OpenEventA(EVENT_ALL_ACCESS, FALSE, pong_name);
    HANDLE stop = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, stop_name);
    auto *flag = static_cast<std::atomic<int> *>(MapViewOfFile(stop, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!ping || !pong || !flag) return 2;
    SetEvent(pong); // ready
    while (WaitForSingleObject(ping, INFINITE) == WAIT_OBJECT_0 && !flag->load()) SetEvent(pong);
    UnmapViewOfFile(flag);
    CloseHandle(stop);
    CloseHandle(pong);
    CloseHandle(ping);
    return 0;
}

void BM_EventRoundTripAcrossProcesses(benchmark::State &state) {
    const std::string ping_name = bench_name("ping"), pong_name = bench_name("pong"), stop_name = bench_name("stop");
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, ping_name.c_str());
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, pong_name.c_str());
    HANDLE stop = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, stop_name.c_str());
    auto *flag = static_cast<std::atomic<int> *>(MapViewOfFile(stop, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    char exe[4096] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) {
        state.SkipWithError("no /proc/self/exe");
        return;
    }
    std::string a0 = exe, a1 = "--echo";
    char *argv[] = {a0.data(), a1.data(), const_cast<char *>(ping_name.c_str()), const_cast<char *>(pong_name.c_str()),
                    const_cast<char *>(stop_name.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, exe, nullptr, nullptr, argv, environ) != 0 || WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) {
        state.SkipWithError("peer did not start");
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        return;
    }
    for (auto _ : state) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) {
            state.SkipWithError("peer did not answer");
            break;
        }
    }
    flag->store(1);
    SetEvent(ping);
    waitpid(pid, nullptr, 0);
    UnmapViewOfFile(flag);
    CloseHandle(stop);
    CloseHandle(pong);
    CloseHandle(ping);
}
BENCHMARK(BM_EventRoundTripAcrossProcesses)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The contending peer: takes and releases the mutex until told to stop.
int contend(const char *mutex_name, const char *stop_name) {
    HANDLE m = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mutex_name);
    HANDLE stop = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, stop_name);
    auto *flag = static_cast<std::atomic<int> *>(MapViewOfFile(stop, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!m || !flag) return 2;
    flag->store(2); // ready
    while (flag->load() != 1)
        if (WaitForSingleObject(m, INFINITE) != WAIT_OBJECT_0 || !ReleaseMutex(m)) return 3;
    UnmapViewOfFile(flag);
    CloseHandle(stop);
    CloseHandle(m);
    return 0;
}

void BM_MutexContendedAcrossProcesses(benchmark::State &state) {
    const std::string mutex_name = bench_name("contended"), stop_name = bench_name("cstop");
    HANDLE m = CreateMutexA(nullptr, FALSE, mutex_name.c_str());
    HANDLE stop = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, stop_name.c_str());
    auto *flag = static_cast<std::atomic<int> *>(MapViewOfFile(stop, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    char exe[4096] = {};
    if (!m || !flag || readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) {
        state.SkipWithError("set-up failed");
        return;
    }
    std::string a0 = exe, a1 = "--contend";
    char *argv[] = {a0.data(), a1.data(), const_cast<char *>(mutex_name.c_str()), const_cast<char *>(stop_name.c_str()),
                    nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, exe, nullptr, nullptr, argv, environ) != 0) {
        state.SkipWithError("peer did not start");
        return;
    }
    while (flag->load() != 2) usleep(100);
    for (auto _ : state) {
        if (WaitForSingleObject(m, INFINITE) != WAIT_OBJECT_0 || !ReleaseMutex(m)) {
            state.SkipWithError("wait or release failed");
            break;
        }
    }
    flag->store(1);
    waitpid(pid, nullptr, 0);
    UnmapViewOfFile(flag);
    CloseHandle(stop);
    CloseHandle(m);
}
BENCHMARK(BM_MutexContendedAcrossProcesses)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    if (argc == 5 && strcmp(argv[1], "--echo") == 0) return echo(argv[2], argv[3], argv[4]);
    if (argc == 4 && strcmp(argv[1], "--contend") == 0) return contend(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

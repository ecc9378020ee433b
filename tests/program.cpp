#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "test_util.h"

extern char **environ;

namespace vt {

namespace {
// Makes the program it is given die with the test, then becomes it: argv is
// the path, argv[0] to use, arguments.
VT_CHILD_ROLE(exec_program) { return execv(argv[0], argv + 1) == 0 ? 0 : 127; }
} // namespace

long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Program::Program(const std::string &path, const std::string &argv0, const std::vector<std::string> &args,
                 const char *debug) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) abort();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    std::vector<std::string> argv_s{"/proc/self/exe", "--vt-child-role", "exec_program", path, argv0};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv_p;
    for (auto &s : argv_s) argv_p.push_back(s.data());
    argv_p.push_back(nullptr);
    std::vector<std::string> env_s;
    for (char **e = environ; *e; ++e)
        if (strncmp(*e, "ORVO_DEBUG=", 11) != 0 && strncmp(*e, "VEXA_DEBUG=", 11) != 0) env_s.emplace_back(*e);
    if (debug) env_s.emplace_back(debug);
    std::vector<char *> env_p;
    for (auto &s : env_s) env_p.push_back(s.data());
    env_p.push_back(nullptr);
    if (posix_spawn(&pid_, "/proc/self/exe", &fa, nullptr, argv_p.data(), env_p.data()) != 0) abort();
    started_pid_ = pid_;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
}

Program::~Program() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    end_input();
    if (from_ >= 0) close(from_);
}

bool Program::type(const std::string &text) {
    return to_ >= 0 && write(to_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void Program::end_input() {
    if (to_ >= 0) close(to_);
    to_ = -1;
}

bool Program::input_drained() const {
    int n = -1;
    return ioctl(to_, FIONREAD, &n) == 0 && n == 0;
}

void Program::kill(int sig) { ::kill(pid_, sig); }

bool Program::next(std::string &line, long deadline_ms) {
    for (;;) {
        if (auto nl = buf_.find('\n'); nl != std::string::npos) {
            line = buf_.substr(0, nl);
            buf_.erase(0, nl + 1);
            lines_.push_back(line);
            return true;
        }
        pollfd p{from_, POLLIN, 0};
        const long left = deadline_ms - now_ms();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char chunk[4096];
        const ssize_t n = read(from_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buf_.append(chunk, static_cast<size_t>(n));
    }
}

bool Program::expect(const std::string &want, bool prefix, std::string *got) {
    const long deadline = now_ms() + 30000;
    std::string line;
    while (next(line, deadline))
        if (prefix ? line.rfind(want, 0) == 0 : line == want) {
            if (got) *got = line;
            return true;
        }
    return false;
}

std::string Program::rest() {
    std::string line, r;
    while (next(line, now_ms() + 20000)) r += line + "\n";
    r += buf_;
    buf_.clear();
    return r;
}

int Program::wait() {
    // A pidfd becomes readable when the process ends.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = pidfd >= 0 && poll(&p, 1, 30000) == 1;
    if (pidfd >= 0) close(pidfd);
    int status = 0;
    if (!ended || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Program::transcript() const {
    std::string t;
    for (const auto &l : lines_) t += l + "\n";
    return t;
}

bool nothing_left(std::initializer_list<const Program *> programs) {
    return wait_until([&] {
        touch_objects();
        if (!shm_entries("Port.").empty()) return false;
        for (const Program *p : programs)
            for (const char *kind : {"SHMEM_", "SHMEM_event"})
                if (!shm_entries(kind + std::to_string(p->pid()) + "_").empty()) return false;
        return true;
    });
}

} // namespace vt

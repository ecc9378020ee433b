#include "test_util.h"

#include "internals.h"
#include "vexa-port/shm_endpoint.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

extern char **environ;

namespace vt {

namespace {

// Descriptors a child role uses to talk to its parent.
constexpr int k_child_out = 3;
constexpr int k_child_in = 4;
constexpr const char *k_role_flag = "--vt-child-role";

std::map<std::string, ChildFn> &roles() {
    static std::map<std::string, ChildFn> r;
    return r;
}

std::string g_child_buffer;

long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Reads one line from fd into line, keeping the rest in buffer.
bool read_line(int fd, std::string &buffer, std::string &line, int timeout_ms) {
    const long deadline = now_ms() + timeout_ms;
    for (;;) {
        if (auto nl = buffer.find('\n'); nl != std::string::npos) {
            line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            return true;
        }
        const long left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

bool write_all(int fd, const std::string &s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = write(fd, s.data() + off, s.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::string unique_name(const char *tag) {
    static std::atomic<int> counter{0};
    char buf[128];
    snprintf(buf, sizeof buf, "/vexa-t-%s-%d-%d", tag, static_cast<int>(getpid()), counter.fetch_add(1));
    return buf;
}

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    file_ = memfd_create("vt-stdout", MFD_CLOEXEC);
    dup2(file_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { finish(); }

std::string StdoutCapture::finish() {
    if (done_) return text_;
    done_ = true;
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    off_t size = lseek(file_, 0, SEEK_END);
    text_.resize(static_cast<size_t>(size));
    if (size > 0) {
        ssize_t got = pread(file_, text_.data(), text_.size(), 0);
        text_.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    close(file_);
    return text_;
}

ChildRole::ChildRole(const char *name, ChildFn fn) { roles()[name] = fn; }

bool run_child_role(int argc, char **argv, int *status) {
    if (argc < 3 || strcmp(argv[1], k_role_flag) != 0) return false;
    // "pidns:ROLE" runs ROLE as the first process of a new PID namespace
    // (root only): this process stays outside as its parent, and killing it
    // kills the namespace.
    if (strncmp(argv[2], "pidns:", 6) == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (unshare(CLONE_NEWPID) != 0) {
            child_send("no-pidns");
            *status = 77;
            return true;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            argv[2] += 6;
            int inner = 0;
            run_child_role(argc, argv, &inner);
            _exit(inner);
        }
        int st = 0;
        while (pid > 0 && waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        *status = pid > 0 && WIFEXITED(st) ? WEXITSTATUS(st) : 1;
        return true;
    }
    // "mntns:ROLE" runs ROLE in a mount namespace of its own with a private,
    // empty /dev/shm (root only), which it may remove things from without
    // disturbing any other test; its children share it.
    if (strncmp(argv[2], "mntns:", 6) == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) {
            child_send("no-mntns");
            *status = 77;
            return true;
        }
        argv[2] += 6;
    }
    auto it = roles().find(argv[2]);
    if (it == roles().end()) {
        fprintf(stderr, "unknown child role %s\n", argv[2]);
        *status = 100;
        return true;
    }
    // A child that outlives its test is a leak: die with the parent.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Line by line, so that a child's output survives its being killed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    *status = it->second(argc - 3, argv + 3);
    fflush(stdout);
    return true;
}

void child_send(const std::string &line) { write_all(k_child_out, line + "\n"); }

bool child_recv(std::string &line, int timeout_ms) { return read_line(k_child_in, g_child_buffer, line, timeout_ms); }

Child Child::spawn(const std::string &role, const std::vector<std::string> &args, bool quiet) {
    int up[2], down[2];
    if (pipe2(up, O_CLOEXEC) != 0 || pipe2(down, O_CLOEXEC) != 0) abort();
    // The child's ends move above the numbers they are given in the child
    // first: a pipe end that is itself 3 or 4 (the library frees and reuses
    // low numbers at any time) would be overwritten by the other's dup2.
    for (int *end : {&up[1], &down[0]}) {
        const int high = fcntl(*end, F_DUPFD_CLOEXEC, 10);
        if (high < 0) abort();
        close(*end);
        *end = high;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, up[1], k_child_out);
    posix_spawn_file_actions_adddup2(&fa, down[0], k_child_in);
    if (quiet) posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

    std::vector<std::string> argv_s{"/proc/self/exe", k_role_flag, role};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv_p;
    for (auto &s : argv_s) argv_p.push_back(s.data());
    argv_p.push_back(nullptr);

    fflush(stdout);
    Child c;
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) abort();
    exe[n] = 0;
    if (posix_spawn(&c.pid_, exe, &fa, nullptr, argv_p.data(), environ) != 0) abort();
    posix_spawn_file_actions_destroy(&fa);
    close(up[1]);
    close(down[0]);
    c.from_child_ = up[0];
    c.to_child_ = down[1];
    return c;
}

Child::Child(Child &&o) noexcept { *this = std::move(o); }

Child &Child::operator=(Child &&o) noexcept {
    std::swap(pid_, o.pid_);
    std::swap(to_child_, o.to_child_);
    std::swap(from_child_, o.from_child_);
    std::swap(buffered_, o.buffered_);
    return *this;
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_fds();
}

void Child::close_fds() {
    if (to_child_ >= 0) close(to_child_);
    if (from_child_ >= 0) close(from_child_);
    to_child_ = from_child_ = -1;
}

bool Child::send(const std::string &line) { return to_child_ >= 0 && write_all(to_child_, line + "\n"); }

bool Child::recv(std::string &line, int timeout_ms) {
    return from_child_ >= 0 && read_line(from_child_, buffered_, line, timeout_ms);
}

bool Child::expect(const std::string &want, int timeout_ms) {
    const long deadline = now_ms() + timeout_ms;
    std::string line;
    for (;;) {
        const long left = deadline - now_ms();
        if (left <= 0 || !recv(line, static_cast<int>(left))) return false;
        if (line == want) return true;
    }
}

void Child::kill(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

int Child::wait(int timeout_ms) {
    if (pid_ <= 0) return -1;
    // A pidfd becomes readable when the child ends, so the wait needs no
    // polling loop.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    const long deadline = now_ms() + timeout_ms;
    int status = 0;
    for (;;) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) break;
        const long left = deadline - now_ms();
        if (left <= 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            status = -1;
            break;
        }
        pollfd p{pidfd, POLLIN, 0};
        if (pidfd < 0 || poll(&p, 1, static_cast<int>(left)) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (pidfd >= 0) close(pidfd);
    pid_ = -1;
    close_fds();
    return status;
}

bool wait_until(const std::function<bool()> &pred, int timeout_ms) {
    const long deadline = now_ms() + timeout_ms;
    while (!pred()) {
        if (now_ms() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<std::string> shm_entries(const std::string &text) {
    std::vector<std::string> out;
    const std::string dir = "/dev/shm/vexa." + std::to_string(geteuid());
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strstr(e->d_name, text.c_str())) out.emplace_back(e->d_name);
        closedir(d);
    }
    return out;
}

void touch_objects() {
    const std::string name = unique_name("touch");
    if (HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str())) CloseHandle(h);
}

int open_fd_count() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
        --n; // the directory's own descriptor
    }
    return n;
}

std::int32_t LinkEvents::on_connected(void *user, shm_thread *) {
    auto *ev = static_cast<LinkEvents *>(user);
    ev->note([ev] { ++ev->connected; });
    return 0;
}

std::int32_t LinkEvents::on_disconnected(void *user, shm_thread *) {
    auto *ev = static_cast<LinkEvents *>(user);
    ev->note([ev] { ++ev->disconnected; });
    return 0;
}

std::int32_t LinkEvents::on_data_ready(void *user, shm_thread *thr, std::int32_t count) {
    auto *ev = static_cast<LinkEvents *>(user);
    std::string buf(static_cast<std::size_t>(count > 0 ? count : 0), '\0');
    const ssize_t n = shm_recv(thr, buf.data(), buf.size());
    if (n > 0) ev->note([&] { ev->received.append(buf.data(), static_cast<std::size_t>(n)); });
    return 0;
}

shm_membuf *map_region(const std::string &name, std::uint64_t size, void **fd) {
    void *h = shmt_open(name.c_str(), O_RDWR, 0);
    if (fd) *fd = h;
    shm_membuf *mb = nullptr;
    if (h == shmt_invalid_fd() || shm_membuf_map(h, size, &mb) != 0) return nullptr;
    return mb;
}

} // namespace vt

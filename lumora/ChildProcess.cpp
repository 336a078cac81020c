#include "lumora/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace lumora {
namespace {

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

ChildProcess::Exit exitFrom(int status) {
    ChildProcess::Exit exit;
    if (WIFEXITED(status))
        exit.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        exit.signal = WTERMSIG(status);
    return exit;
}

// Ends a forked child at once: the exit system call itself, since a sanitizer's _exit hook
// would run its end-of-process checks against threads that only the parent has.
[[noreturn]] void exitNow(int status) {
    ::syscall(SYS_exit_group, status);
    __builtin_unreachable();
}

// Runs in the forked child, so only async-signal-safe calls. The child becomes a small
// supervisor that starts the program and waits for it, so that the program cannot outlive
// Lumora: should Lumora die without stopping it (SIGKILL), the supervisor interrupts the program
// once, which lets ffmpeg finalise a playable file instead of recording on, unseen, until its
// limit. Death notices arrive once per Lumora thread that ends, so the supervisor (one thread)
// takes them itself and acts on the first; the program itself is killed only when the
// supervisor dies. Signals Lumora sends pass through; the program's exit becomes the
// supervisor's own.
[[noreturn]] void superviseProgram(pid_t lumora, int input, int output, int error, int inherited,
                                   const char* executable, char* const* argv, char* const* envp) {
    constexpr int lumoraGoneSignal = SIGUSR2;
    constexpr int passed[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1};
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, nullptr);
    for (int s : passed) ::signal(s, SIG_DFL);
    ::signal(lumoraGoneSignal, SIG_DFL);
    ::signal(SIGCHLD, SIG_DFL);  // an ignored SIGCHLD would reap the program behind our back
    ::prctl(PR_SET_PDEATHSIG, lumoraGoneSignal);
    if (::getppid() != lumora) exitNow(127);
    // Named apart from Lumora, so that nobody looking for the running app takes it for one.
    ::prctl(PR_SET_NAME, "lumora-capture");

    const pid_t supervisor = ::getpid();
    const pid_t program = ::fork();
    if (program == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != supervisor) exitNow(127);
        ::signal(SIGPIPE, SIG_IGN);  // Lumora gone means broken pipes: write errors, not death
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(input, 0);
        ::dup2(output, 1);
        ::dup2(error, 2);
        unsigned firstClosed = 3;
        if (inherited >= 0) {
            if (inherited == 3)
                ::fcntl(3, F_SETFD, 0);  // dup2 onto itself would keep close-on-exec
            else
                ::dup2(inherited, 3);
            firstClosed = 4;
        }
        ::syscall(SYS_close_range, firstClosed, ~0u, 0u);
        if (envp != nullptr)
            ::execve(executable, argv, envp);
        else
            ::execv(executable, argv);
        exitNow(127);
    }
    if (program < 0) exitNow(127);
    // Hold no pipe end: Lumora sees end of output when the program ends.
    ::syscall(SYS_close_range, 0u, ~0u, 0u);

    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGCHLD);
    sigaddset(&watched, lumoraGoneSignal);
    for (int s : passed) sigaddset(&watched, s);
    bool lumoraGone = false;
    while (true) {
        const int received = ::sigwaitinfo(&watched, nullptr);
        if (received == SIGCHLD) {
            int status = 0;
            if (::waitpid(program, &status, WNOHANG) != program) continue;
            if (WIFEXITED(status)) exitNow(WEXITSTATUS(status));
            const int ending = WTERMSIG(status);
            ::signal(ending, SIG_DFL);
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, ending);
            ::sigprocmask(SIG_UNBLOCK, &one, nullptr);
            ::kill(supervisor, ending);
            exitNow(128 + ending);
        } else if (received == lumoraGoneSignal) {
            if (!lumoraGone) ::kill(program, SIGINT);
            lumoraGone = true;
        } else if (received > 0) {
            ::kill(program, received);
        }
    }
}

}  // namespace

std::string ChildProcess::Exit::description() const {
    if (status) return "exit status " + std::to_string(*status);
    if (signal) return "signal " + std::to_string(*signal);
    return "unknown end";
}

std::optional<std::string> ChildProcess::locate(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        if (::access(program.c_str(), X_OK) == 0) return program;
        return std::nullopt;
    }
    const char* path = std::getenv("PATH");
    std::string paths = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t begin = 0;
    while (begin <= paths.size()) {
        std::size_t end = paths.find(':', begin);
        if (end == std::string::npos) end = paths.size();
        // An empty entry is the current directory.
        std::string candidate = end > begin ? paths.substr(begin, end - begin) : std::string(".");
        candidate += '/';
        candidate += program;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        begin = end + 1;
    }
    return std::nullopt;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::optional<std::vector<std::string>>& environment, int inherited) {
    auto executable = locate(program);
    if (!executable) throw Failure(ProgramNotFound{program});

    // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
    std::vector<std::string> storage;
    storage.push_back(program);
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStorage = environment.value_or(std::vector<std::string>{});
    std::vector<char*> envp;
    for (auto& e : envStorage) envp.push_back(e.data());
    envp.push_back(nullptr);

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw Failure(SystemCall{"pipe2", errno});
    if (::pipe2(out, O_CLOEXEC) != 0) {
        int e = errno;
        ::close(in[0]), ::close(in[1]);
        throw Failure(SystemCall{"pipe2", e});
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        int e = errno;
        ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
        throw Failure(SystemCall{"pipe2", e});
    }

    const pid_t lumora = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        superviseProgram(lumora, in[0], out[1], err[1], inherited, executable->c_str(), argv.data(),
                         environment ? envp.data() : nullptr);
    }
    int forkError = errno;
    ::close(in[0]), ::close(out[1]), ::close(err[1]);
    if (pid < 0) {
        ::close(in[1]), ::close(out[0]), ::close(err[0]);
        throw Failure(SystemCall{"fork", forkError});
    }
    pid_ = pid;
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    // A child that stops reading its input must not make Lumora's writes block.
    ::fcntl(in_, F_SETFL, ::fcntl(in_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    if (!exit_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    closeQuietly(in_);
    closeQuietly(out_);
    closeQuietly(err_);
}

bool ChildProcess::writeInput(std::string_view bytes) {
    if (in_ < 0) return false;
    // A child that has gone away must not take Lumora with it: SIGPIPE is held back on this
    // thread for the write and a pending one is consumed.
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    bool written = true;
    while (!bytes.empty()) {
        ssize_t n = ::write(in_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            written = false;
            break;
        }
        bytes.remove_prefix(std::size_t(n));
    }
    if (!written && errno == EPIPE) {
        timespec zero{0, 0};
        ::sigtimedwait(&pipeSignal, nullptr, &zero);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written;
}

void ChildProcess::closeInput() { closeQuietly(in_); }

void ChildProcess::signal(int number) {
    if (!exit_ && pid_ > 0) ::kill(pid_, number);
}

std::optional<ChildProcess::Exit> ChildProcess::poll() {
    if (exit_) return exit_;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) exit_ = exitFrom(status);
    return exit_;
}

std::optional<ChildProcess::Exit> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (auto e = poll()) return e;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ChildProcess::Captured ChildProcess::run(const std::string& program, const std::vector<std::string>& arguments,
                                         std::chrono::milliseconds timeout) {
    ChildProcess child(program, arguments);
    child.closeInput();
    Captured captured;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool outOpen = true, errOpen = true;
    char buffer[4096];
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            captured.timedOut = true;
            child.signal(SIGKILL);
            break;
        }
        pollfd fds[2] = {{outOpen ? child.out_ : -1, POLLIN, 0}, {errOpen ? child.err_ : -1, POLLIN, 0}};
        int r = ::poll(fds, 2, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (fds[0].revents) {
            ssize_t n = ::read(child.out_, buffer, sizeof buffer);
            if (n > 0)
                captured.output.append(buffer, std::size_t(n));
            else if (n == 0 || errno != EINTR)
                outOpen = false;
        }
        if (fds[1].revents) {
            ssize_t n = ::read(child.err_, buffer, sizeof buffer);
            if (n <= 0 && (n == 0 || errno != EINTR)) errOpen = false;
        }
    }
    auto exit = child.waitFor(captured.timedOut ? std::chrono::milliseconds(2000) : timeout);
    if (!exit) {
        child.signal(SIGKILL);
        exit = child.waitFor(std::chrono::milliseconds(2000));
    }
    if (exit) captured.exit = *exit;
    return captured;
}

}  // namespace lumora

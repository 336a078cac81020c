#include "tests/vantor/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace testing_support {

namespace {
void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}
}  // namespace

ProcessOutcome runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    // A child that exits before reading all its input must not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : options.environment) {
        if (value)
            env[name] = *value;
        else
            env.erase(name);
    }
    std::vector<std::string> envText;
    for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    int inFd = in[1], outFd = out[0], errFd = err[0];
    ::fcntl(inFd, F_SETFL, O_NONBLOCK);

    ProcessOutcome outcome;
    std::size_t written = 0;
    if (options.input.empty()) closeIfOpen(inFd);
    const auto deadline = std::chrono::steady_clock::now() + options.timeLimit;
    while (outFd >= 0 || errFd >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            outcome.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        nfds_t n = 0;
        if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
        if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
        if (::poll(fds, n, int(left.count())) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == inFd) {
                const auto r = ::write(inFd, options.input.data() + written, options.input.size() - written);
                if (r > 0) written += std::size_t(r);
                if (r < 0 || written == options.input.size()) closeIfOpen(inFd);
                continue;
            }
            char buffer[4096];
            const auto r = ::read(fds[i].fd, buffer, sizeof buffer);
            if (r > 0) {
                (fds[i].fd == outFd ? outcome.out : outcome.err).append(buffer, std::size_t(r));
            } else if (fds[i].fd == outFd) {
                closeIfOpen(outFd);
            } else {
                closeIfOpen(errFd);
            }
        }
    }
    closeIfOpen(inFd);
    closeIfOpen(outFd);
    closeIfOpen(errFd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

}  // namespace testing_support

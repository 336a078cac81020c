#include "tests/Support/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::vector<std::string> environmentWith(const std::map<std::string, std::optional<std::string>>& changes) {
    std::map<std::string, std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        if (const auto equals = entry.find('='); equals != std::string::npos)
            variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value)
            variables[name] = *value;
        else
            variables.erase(name);
    }
    std::vector<std::string> entries;
    for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ProcessOutcome runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    // A child that exits before reading all its input must not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    auto envText = environmentWith(options.environment);
    auto args = argv;
    auto envp = pointersTo(envText);
    auto argp = pointersTo(args);

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
    int heldInput = -1;  // the input end kept open, when asked, until the child ends
    std::size_t written = 0;
    const auto inputDone = [&] {
        if (options.closeInput)
            closeIfOpen(inFd);
        else
            std::swap(heldInput, inFd);
    };
    if (options.input.empty()) inputDone();

    ProcessOutcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + options.timeLimit;
    const auto timeLeft = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    while (outFd >= 0 || errFd >= 0) {
        const auto left = timeLeft();
        if (left.count() <= 0) break;
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
                if (r < 0 && errno != EAGAIN && errno != EINTR)
                    closeIfOpen(inFd);
                else if (written == options.input.size())
                    inputDone();
                continue;
            }
            char buffer[4096];
            const auto r = ::read(fds[i].fd, buffer, sizeof buffer);
            if (r > 0)
                (fds[i].fd == outFd ? outcome.out : outcome.err).append(buffer, std::size_t(r));
            else if (r == 0 || (errno != EAGAIN && errno != EINTR))
                closeIfOpen(fds[i].fd == outFd ? outFd : errFd);
        }
    }
    // Its outputs are closed, or time is up: the child gets what is left of the limit to exit.
    int status = 0;
    bool ended = false;
    while (!ended && timeLeft().count() > 0) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        ended = r == pid || (r < 0 && errno != EINTR);
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!ended) {
        outcome.timedOut = true;
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    closeIfOpen(inFd);
    closeIfOpen(heldInput);
    closeIfOpen(outFd);
    closeIfOpen(errFd);
    outcome.exitStatus = !outcome.timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

}  // namespace testsupport

#include "app_child_process.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace apptest {

ChildResult runChild(const std::filesystem::path& program, const std::filesystem::path& workingDir,
                     const std::vector<std::string>& extraEnv,
                     const std::function<void(const std::string&, int)>& onStdout) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // Everything the child needs is prepared before fork: only async-signal-safe calls follow it.
    std::vector<std::string> envStrings;
    auto overridden = [&](const std::string& entry) {
        std::string name = entry.substr(0, entry.find('='));
        for (const auto& extra : extraEnv) {
            if (extra.substr(0, extra.find('=')) == name) {
                return true;
            }
        }
        return false;
    };
    for (char** e = environ; *e != nullptr; ++e) {
        if (!overridden(*e)) {
            envStrings.emplace_back(*e);
        }
    }
    envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : envStrings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string programPath = program.string();
    std::string dir = workingDir.string();
    char* argv[] = {programPath.data(), nullptr};

    pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        if (::chdir(dir.c_str()) != 0) {
            ::_exit(126);
        }
        ::execve(programPath.c_str(), argv, envp.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);

    ChildResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            std::string& sink = i == 0 ? result.out : result.err;
            sink.append(buffer, static_cast<size_t>(n));
            if (i == 0 && onStdout) {
                onStdout(result.out, pid);
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

} // namespace apptest

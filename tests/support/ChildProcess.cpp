#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include "support/Prelude.h"

extern char** environ;

CChildProcess::~CChildProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, const std::string& outputPath, int terminal) {
    std::vector<std::string> envCopy;
    for (char** e = environ; *e != nullptr; ++e) {
        // Entries given by the caller replace inherited ones of the same name.
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& own : env) replaced = replaced || own.substr(0, own.find('=')) == name;
        if (!replaced) envCopy.push_back(entry);
    }
    for (const std::string& e : env) envCopy.push_back(e);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envCopy) envp.push_back(e.data());
    envp.push_back(nullptr);

    m_pid = fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
        if (terminal >= 0) {
            setsid();
            ioctl(terminal, TIOCSCTTY, 0);
        }
        int fd = terminal >= 0 ? dup(terminal) : open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            if (terminal >= 0) dup2(fd, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return true;
}

bool CChildProcess::Signal(int signal) { return m_pid > 0 && kill(m_pid, signal) == 0; }

bool CChildProcess::Wait(DWORD timeoutMs, int* exitCode) {
    int status = 0;
    pid_t rc = 0;
    if (!testenv::WaitFor([&] { return (rc = waitpid(m_pid, &status, WNOHANG)) != 0; }, timeoutMs) || rc != m_pid) {
        return false;
    }
    m_pid = -1;
    if (exitCode != nullptr) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

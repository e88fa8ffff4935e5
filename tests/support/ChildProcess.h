// Runs a program as a child process for the integration tests.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/WinTypes.h"

class CChildProcess {
public:
    ~CChildProcess();

    // Starts program with args and extra environment entries ("NAME=value");
    // standard output and error go to outputPath, or with terminal (the slave
    // side of a pseudo-terminal) the child runs in a session of its own on it.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, const std::string& outputPath, int terminal = -1);
    bool Signal(int signal);
    // Waits up to timeoutMs; true with the exit code when the child ended
    // normally (a signal death gives 128 + signal).
    bool Wait(DWORD timeoutMs, int* exitCode);
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

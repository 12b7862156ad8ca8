// Helper processes of the benchmark programs (socat, peer servers): started
// by name with the program's environment, ended by process id, and a wait
// for a path they create.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace bench_spawn {

// Starts args[0] (looked up in PATH) with args; -1 when it cannot start.
inline pid_t Spawn(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

// Ends the process started by Spawn and reaps it.
inline void End(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

// True once path p exists, false after s seconds without it.
inline bool WaitPath(const std::string &p, double s) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(s);
    struct stat st {};
    while (std::chrono::steady_clock::now() < end) {
        if (stat(p.c_str(), &st) == 0) return true;
        usleep(10000);
    }
    return false;
}

// A socat pseudo-terminal pair linked at paths a and b; socat's process id,
// answered once both links exist (at most 5 s each).
inline pid_t PtyPair(const std::string &a, const std::string &b) {
    const pid_t soc = Spawn({"socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
    WaitPath(a, 5);
    WaitPath(b, 5);
    return soc;
}

// Removes the directory tree root, saying so on stderr when it cannot.
inline void RemoveTree(const std::string &root) {
    const std::string rm = "rm -rf " + root;
    if (std::system(rm.c_str()) != 0) std::fprintf(stderr, "left %s\n", root.c_str());
}

}  // namespace bench_spawn

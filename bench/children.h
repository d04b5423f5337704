// The benchmark's child processes: Tarnwick, the relays and gnuplot. Every
// child is killed when the benchmark ends, however it ends: normally, on
// Ctrl+C, on its own time limit, or killed (the children then get SIGKILL
// from the kernel).
#pragma once

#include <sys/types.h>

// Starts argv[0] (searched in PATH when it holds no slash) with standard
// input from /dev/null and standard output and error into logPath
// (nullptr: /dev/null). Returns the pid, or -1.
pid_t StartChild(const char* const argv[], const char* logPath);
// The same, with the entries of environment ("NAME=value", up to a null)
// added to the child's environment.
pid_t StartChildWith(const char* const argv[], const char* logPath,
                     const char* const environment[]);

// Runs a program to its end, at most timeoutMs; returns its exit status, or
// -1 when it could not be run or had to be killed.
int RunChild(const char* const argv[], const char* logPath, int timeoutMs);

// Whether the log holds a line with text in it at least `times` times.
bool LogHolds(const char* logPath, const char* text, int times);

// Kills the child and collects it.
void StopChild(pid_t pid);
void StopAllChildren();

// A file (a socket the benchmark offers, a log) or an empty directory to
// remove if the benchmark is stopped before it can clean up by itself.
void RemoveOnAbort(const char* path);

// Stops the benchmark, with every child, after `seconds` or on SIGINT or
// SIGTERM. SIGPIPE is ignored: a peer that went away shows as an error.
void InstallAbortHandlers(unsigned seconds);

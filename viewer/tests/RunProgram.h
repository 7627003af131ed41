#pragma once

// Runs a shell command line and collects what it prints (standard output and error together) and
// its exit status. For the tests that run the built viewer.

#include <sys/wait.h>

#include <cstdio>
#include <string>

struct ProgramRun
{
    int status = -1;    // exit status, or -1 when the program did not exit normally
    std::string output; // standard output and standard error, interleaved
};

inline ProgramRun runProgram(const std::string& commandLine)
{
    ProgramRun run;
    FILE* pipe = popen((commandLine + " 2>&1").c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.output.append(buffer, n);
    const int result = pclose(pipe);
    run.status = result != -1 && WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return run;
}

// The text quoted for the shell.
inline std::string shellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs the built id3stamp as a child process with a chosen standard input,
// file-size limit and timeout, and collects what it wrote and how it ended.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct run_options {
    std::vector<std::string> args{};  // after the program name
    std::string input{};            // standard input, through a pipe
    int stdin_fd = -1;              // or this descriptor, shared with the child
    bool hold_input_open = false;   // keep the pipe open after the input
    rlim_t file_size_limit = RLIM_INFINITY;
    bool close_stderr = false;
};

struct run_result {
    int status = -1;  // exit status; -1 when killed or timed out
    int signal = 0;   // the signal that ended it, if one did
    bool timed_out = false;
    std::string out;
    std::string err;
};

struct child_run {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    int input_fd = -1;  // the write end of the input pipe, when held open
};

[[nodiscard]] child_run start_tool(const run_options& options);

// Whether the child is still running after waiting this long.
[[nodiscard]] bool still_running(const child_run& child, int wait_ms);

run_result finish_tool(child_run& child, int timeout_ms = 10000);

run_result run_tool(const run_options& options, int timeout_ms = 10000);

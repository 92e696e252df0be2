// Runs the real quorvel executable in a directory and collects what it writes, for
// the whole-process tests. A run that does not finish in time is killed and
// reported as such, so a hang fails a test instead of stalling the suite.
#pragma once

#include <string>
#include <vector>

// The quorvel executable under test, and the check tool built beside it.
std::string quorvel_binary();
std::string quorvel_check_binary();

struct RunOptions {
    // The executable; empty for quorvel_binary(). The benchmarks run another build
    // beside it.
    std::string program;
    // Words put before the executable, for instance to run it unprivileged.
    std::vector<std::string> prefix;
    std::vector<std::string> arguments;
    // Refresh options for the filter built here ("--full-walk", "--no-status-passes",
    // "--network-limit=<seconds>"): it then runs through tests/aided_filter.cpp. A
    // run of the suite with QUORVEL_TEST_WALKING=1 in its environment adds
    // "--full-walk" to every filter it starts.
    std::vector<std::string> aids;
    // Extra environment entries, "NAME=value".
    std::vector<std::string> environment;
    double timeout_seconds = 30;
    // Close the read end of standard output right after start.
    bool close_output = false;
    // Hand the filter its standard input or output in non-blocking mode, as a
    // server may.
    bool nonblocking_input = false;
    bool nonblocking_output = false;
};

// The prefix that runs a program as the user nobody (the tests must run as root).
inline const std::vector<std::string> as_nobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                                   "--clear-groups"};

struct ProcessResult {
    std::string output;              // standard output, byte for byte
    std::string errors;              // standard error
    std::vector<std::string> lines;  // standard output split at LF
    int exit_status = -1;            // exit code, or 128 + signal
    bool timed_out = false;
};

ProcessResult run_filter(const std::string& directory, const std::string& input,
                         const RunOptions& options = {});
ProcessResult run_program(const std::string& program, const std::string& directory,
                          const std::string& input, const RunOptions& options = {});

// The lines that are replies (not log lines beginning with "* ").
std::vector<std::string> replies(const ProcessResult& result);
// The log lines, each without its leading "* ".
std::vector<std::string> log_lines(const ProcessResult& result);

// The process that does the work of the filter started as `pid`: the child it makes
// at its start, so that its own end never waits on a hung mount. Waits a little for
// the child to be made; `pid` itself when it never is.
int working_process(int pid);

// A filter kept running across several requests, so that a test can change the
// server's files between two messages.
class FilterSession {
  public:
    explicit FilterSession(const std::string& directory, const RunOptions& options = {});
    ~FilterSession();
    FilterSession(const FilterSession&) = delete;
    FilterSession& operator=(const FilterSession&) = delete;

    // The lines written before the first request (banner, hints, ready line).
    std::vector<std::string> start_lines();
    // Sends one request line and returns every line written up to and including
    // its reply. Empty when the filter wrote no reply in time.
    std::vector<std::string> request(const std::string& line);
    // Closes standard input and returns the exit status.
    int finish();
    // The process that does the filter's work (working_process).
    int process_id();

  private:
    std::vector<std::string> read_until_reply(bool stop_at_ready);
    bool read_line(std::string& line);

    int pid = -1;
    int worker = -1;
    int to_filter = -1;
    int from_filter = -1;
    std::string pending;
    double timeout_seconds;
};

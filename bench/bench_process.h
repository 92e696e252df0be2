// What every benchmark driver needs of the processes it measures and of itself:
// their resident memory and CPU time, one CPU shared by the driver and the filters it
// starts, the summary of the latencies it timed, and the whole-number option values.
#pragma once

#include <string>
#include <vector>

// The resident memory of process `pid`, in kB (VmRSS of /proc/PID/status); 0 when
// it cannot be read.
long resident_kilobytes(int pid);

// The CPU time used so far, user and system (utime + stime), in seconds: of a process
// and all its threads from "/proc/PID/stat", or of one thread from
// "/proc/PID/task/TID/stat". 0 when it cannot be read.
double cpu_seconds(const std::string& stat_path);
double cpu_seconds(int pid);

// Keeps the caller, and the processes it starts from now on (they inherit this), on
// one CPU, so that another job on the machine and wake-ups across CPUs weigh on
// every filter alike. Returns that CPU, or -1 where the affinity cannot be set.
int keep_to_one_cpu();

// The mean, the median and the 99th percentile of latencies in µs; all 0 for none.
struct LatencySummary {
    double mean_us = 0, p50_us = 0, p99_us = 0;
};
LatencySummary summarize_latencies(std::vector<double> latencies_us);

// The median, the mean of the two middle values for an even count; 0 for none.
double median(std::vector<double> values);

// The whole number after option `index`, moving `index` to it; 0 when there is none.
int number_after(int& index, int argc, char** argv);

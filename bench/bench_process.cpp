// The drivers' process helpers: /proc for memory and CPU time, sched_setaffinity for
// the CPU.
#include "bench_process.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

long resident_kilobytes(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

double cpu_seconds(const std::string& stat_path) {
    std::ifstream stat_file(stat_path);
    std::string text((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
    // The command name, in parentheses, may hold blanks: count fields after it.
    size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double user = 0, system = 0;
    // Fields from the state (3) on: utime is 14, stime 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            user = std::stod(field);
        } else if (index == 15) {
            system = std::stod(field);
        }
    }
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpu_seconds(int pid) {
    return cpu_seconds("/proc/" + std::to_string(pid) + "/stat");
}

// The last CPU allowed: the first ones take most of the machine's other work.
int keep_to_one_cpu() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return -1;
    }
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            return sched_setaffinity(0, sizeof one, &one) == 0 ? cpu : -1;
        }
    }
    return -1;
}

LatencySummary summarize_latencies(std::vector<double> latencies_us) {
    LatencySummary summary;
    if (latencies_us.empty()) {
        return summary;
    }
    std::sort(latencies_us.begin(), latencies_us.end());
    double sum = 0;
    for (double latency : latencies_us) {
        sum += latency;
    }
    summary.mean_us = sum / static_cast<double>(latencies_us.size());
    summary.p50_us = latencies_us[latencies_us.size() / 2];
    summary.p99_us = latencies_us[latencies_us.size() * 99 / 100];
    return summary;
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

int number_after(int& index, int argc, char** argv) {
    return index + 1 < argc ? std::atoi(argv[++index]) : 0;
}

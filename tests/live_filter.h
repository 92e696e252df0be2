// A filter kept running across requests, for tests of what it sees between two
// messages: each "file" request goes through the output-channel check, comes back
// with its number written "n", and no record in it may carry another request's
// number (a line written between requests, by no request, would show there).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "checked_run.h"

class LiveFilter {
  public:
    using Lines = std::vector<std::string>;

    explicit LiveFilter(const std::string& directory,
                        const std::vector<std::string>& environment = {})
        : session(directory, options(environment)) {
        session.start_lines();
    }
    // The lines of one request for "Queue/<message>.msg".
    Lines post(const std::string& message) {
        const std::string number = std::to_string(++requests);
        Lines lines = request_checked(session, number + " FILE Queue/" + message + ".msg");
        for (const std::string& line : lines) {
            EXPECT_TRUE(line.rfind("* [", 0) != 0 || line.rfind("* [" + number + "] ", 0) == 0)
                << "request " << number << ": " << line;
        }
        return numbered_as_n(lines, number);
    }
    // The decision of one message: its last log record before the verdict's, and
    // before the one that names who was refused.
    std::string decision(const std::string& message) {
        Lines lines = post(message);
        size_t at = lines.size() - 3;
        at -= lines.size() >= 4 && lines[at].rfind("* [n] Sender ", 0) == 0;
        return lines.size() >= 3 ? lines[at] : "(no decision)";
    }
    // Posts the message every tenth of a second until `done` holds for its lines or
    // `seconds` pass; the lines of the last one.
    Lines post_until(const std::string& message, const std::function<bool(const Lines&)>& done,
                     double seconds = 60) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        Lines lines = post(message);
        while (!done(lines) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            lines = post(message);
        }
        return lines;
    }
    // Ends the input; the exit status.
    int finish() { return session.finish(); }

  private:
    static RunOptions options(const std::vector<std::string>& environment) {
        RunOptions options;
        options.environment = environment;
        return options;
    }
    FilterSession session;
    int requests = 0;
};

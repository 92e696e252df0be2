// A filter kept running across requests in a server tree, for tests of what it sees
// between two messages: each request goes through the output-channel check, comes
// back with its number written "n", and no record in it may carry another request's
// number (a line written between requests, by no request, would show there).
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "checked_run.h"
#include "server_tree.h"

// Options that add `environment` to the filter's.
inline RunOptions with_environment(std::vector<std::string> environment) {
    RunOptions options;
    options.environment = std::move(environment);
    return options;
}
// The options of a filter that walks the whole tree at every message, the refresh's
// other mode.
inline const RunOptions full_walk = [] {
    RunOptions options;
    options.aids = {"--full-walk"};
    return options;
}();

class LiveFilter {
  public:
    using Lines = std::vector<std::string>;

    // Starts a filter in `tree`, which must outlive it.
    explicit LiveFilter(ServerTree& tree, const RunOptions& options = {})
        : place(tree), session(tree.path(), options) {
        session.start_lines();
    }
    // Starts a filter in a tree of its own, made of `files`.
    explicit LiveFilter(const std::map<std::string, std::string>& files,
                        const RunOptions& options = {})
        : own(std::make_unique<ServerTree>(files)), place(*own), session(place.path(), options) {
        session.start_lines();
    }

    // The tree the filter runs in.
    ServerTree& tree() { return place; }

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
    // Queues a message from `sender` to `recipients` whose From field is `from`, and
    // posts it.
    Lines post(const std::string& sender, const std::vector<std::string>& recipients,
               const std::string& from) {
        const std::string name = "m" + std::to_string(requests + 1);
        place.write("Queue/" + name + ".msg", queued_message(sender, recipients, "From: " + from));
        return post(name);
    }
    // The decision in a request's lines: the last log record before the verdict's,
    // and before the one that names who was refused.
    static std::string decision_of(const Lines& lines) {
        if (lines.size() < 3) {
            return "(no decision)";
        }
        size_t at = lines.size() - 3;
        at -= lines.size() >= 4 && lines[at].rfind("* [n] Sender ", 0) == 0;
        return lines[at];
    }
    std::string decision(const std::string& message) { return decision_of(post(message)); }
    // The reply to one message, its number written "n".
    std::string reply(const std::string& message) {
        Lines lines = post(message);
        return lines.empty() ? "(no reply)" : lines.back();
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
    int process_id() { return session.process_id(); }

  private:
    std::unique_ptr<ServerTree> own;  // when the tree is the filter's own
    ServerTree& place;
    FilterSession session;
    int requests = 0;
};

inline bool has_line(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The lines of one message posted to a filter that follows change events and to one
// that walks (full_walk), which must write the same.
inline std::vector<std::string> post_to_both(LiveFilter& watching, LiveFilter& walking,
                                             const std::string& message) {
    std::vector<std::string> lines = watching.post(message);
    EXPECT_EQ(lines, walking.post(message)) << message;
    return lines;
}

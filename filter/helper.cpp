// The request loop and its reply table. The rules are applied in a fixed order and
// the first that fits answers the line; see the comments at each step.
#include "helper.h"

#include <fcntl.h>

#include <cctype>
#include <climits>

#include "file_stream.h"
#include "line_reader.h"
#include "logging.h"
#include "thread.h"

// A build with the leak checker runs its check where the serving ends, since the
// process then ends without the exit handlers that would run it (work_apart.h).
#if defined(__SANITIZE_ADDRESS__)
#define QUORVEL_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define QUORVEL_LEAK_CHECK 1
#endif
#endif
#ifdef QUORVEL_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace cgp {
namespace {

const char quit_refusal[] =
    "\"QUIT command received, filter is shut down. Please restart the filter.\"";

struct RequestLine {
    std::string id;
    std::string command;
    std::string arguments;
};

bool is_separator(char byte) {
    return byte == ' ' || byte == '\r' || byte == '\n';
}

std::string lower_ascii(std::string text) {
    for (char& byte : text) {
        if (byte >= 'A' && byte <= 'Z') {
            byte = static_cast<char>(byte - 'A' + 'a');
        }
    }
    return text;
}

// Splits a line into id, command and the untouched rest. A tab is no separator.
RequestLine split_request(const std::string& line) {
    RequestLine request;
    size_t position = 0;
    auto skip_separators = [&] {
        while (position < line.size() && is_separator(line[position])) {
            ++position;
        }
    };
    auto take_field = [&] {
        size_t start = position;
        while (position < line.size() && !is_separator(line[position])) {
            ++position;
        }
        return line.substr(start, position - start);
    };
    skip_separators();
    request.id = take_field();
    skip_separators();
    request.command = lower_ascii(take_field());
    skip_separators();
    request.arguments = line.substr(position);
    return request;
}

// The standard input of the process, read in blocks: the line rules never look
// ahead on it, so a block read changes nothing that the server can observe. A build
// may set the block to 1 byte to measure what reading in blocks saves.
#ifndef QUORVEL_STDIN_BLOCK_BYTES
#define QUORVEL_STDIN_BLOCK_BYTES 65536
#endif
std::istream& standard_input() {
    static kel::file_buffer* buffer = [] {
        auto* made = new kel::file_buffer;
        made->adopt(0, QUORVEL_STDIN_BLOCK_BYTES);
        return made;
    }();
    static std::istream* stream = new std::istream(buffer);
    return *stream;
}

}  // namespace

int Helper::max_queued_requests = 50;

int32_t request_number_of(const std::string& field) {
    size_t position = 0;
    while (position < field.size() && std::isspace(static_cast<unsigned char>(field[position]))) {
        ++position;
    }
    bool negative = false;
    if (position < field.size() && (field[position] == '+' || field[position] == '-')) {
        negative = field[position] == '-';
        ++position;
    }
    long long value = 0;
    bool any_digit = false;
    for (; position < field.size() && field[position] >= '0' && field[position] <= '9';
         ++position) {
        any_digit = true;
        value = value * 10 + (field[position] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            return 0;
        }
    }
    if (!any_digit) {
        return 0;
    }
    value = negative ? -value : value;
    if (value > INT_MAX || value < INT_MIN) {
        return 0;
    }
    return static_cast<int32_t>(value);
}

Helper::Helper(bool threaded, const std::string& refusal_word)
    : threaded(threaded), refusal_text(" " + refusal_word + " ") {}

Helper::~Helper() = default;

int Helper::interface_version(int) {
    return 3;
}

void Helper::on_quit() {}

void Helper::answer(const std::string& line) {
    kel::outline() << line;
}

void Helper::run() {
    // The server may hand over its pipes in non-blocking mode. A reply that meets a
    // full pipe must wait for the server to read, not be lost, so standard output
    // is made blocking (standard input waits for data in its own reader).
    int flags = fcntl(1, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
        fcntl(1, F_SETFL, flags & ~O_NONBLOCK);
    }
    run(standard_input());
#ifdef QUORVEL_LEAK_CHECK
    // While its report can still be read. It stops every thread, which one held in a
    // call on hung network storage never does: the tests that hang a mount turn it off.
    __lsan_do_leak_check();
#endif
}

void Helper::run(std::istream& input) {
    kel::logline() << "Ready to receive INTF command.";
    bool quit_received = false;
    std::string line;
    // Once standard output is gone no reply can reach the server, so serving more
    // requests would only spend its time (when SIGPIPE is ignored the writes fail
    // quietly and the loop would go on for as long as the input stays open).
    while (input.good() && !kel::output_lost()) {
        read_line(input, line, LineEnds::Single);
        if (line.empty() && input.eof()) {
            break;
        }
        RequestLine request = split_request(line);
        const std::string& id = request.id;
        // A reply opens with the id, and one that opened with "* " would pass for a
        // log line, leaving the request unanswered: the id "*" counts as none.
        if (id.empty() || id == "*") {
            answer("(null) FAILURE");
        } else if (quit_received) {
            answer(id + refusal_text + quit_refusal);
        } else if (request.command.empty()) {
            answer(id + " FAILURE");
        } else if (request.command == "intf") {
            int version = request.arguments.empty() ? 1 : request_number_of(request.arguments);
            int answered = interface_version(version);
            intf_received = true;
            answer(id + " INTF " + std::to_string(answered));
        } else if (request.command == "key") {
            answer(id + " OK");
        } else if (request.command == "quit") {
            kel::logline(id) << "Filter is shutting down...";
            on_quit();
            answer(id + " OK \"Filter is shut down and waiting for standard output to be closed\"");
            quit_received = true;
        } else {
            // "crash" is deliberately not special: nothing on standard input may end
            // the process, so it is judged like any command this helper does not serve.
            int32_t number = request_number_of(id);
            if (number == 0 && id != "0") {
                answer(id + refusal_text + "\"Error: seqID should be a number\"");
            } else if (request.arguments.empty()) {
                answer(id + " FAILURE \"Missing parameter(s)\"");
            } else if (!accepts_command(request.command)) {
                answer(id + " FAILURE");
            } else {
                if (!intf_received) {
                    interface_version(3);
                    intf_received = true;
                }
                admit(number, request.command, request.arguments);
            }
        }
    }
    if (threaded) {
        wait_for_active_requests();
    }
}

void Helper::admit(int32_t number, const std::string& command, const std::string& arguments) {
    if (!threaded) {
        HelperRequest request{number, this, command, arguments};
        run_request(request);
        return;
    }
    const std::string n = std::to_string(number);
    size_t count;
    bool in_use;
    {
        ScopedLock hold(requests_lock, true);
        count = active_requests.size();
        in_use = active_requests.count(number) != 0;
    }
    if (count >= static_cast<size_t>(max_queued_requests)) {
        answer(n + refusal_text + "\"Too many requests in queue (" + std::to_string(count) +
               "), try again in a few seconds.\"");
        return;
    }
    if (in_use) {
        answer(n + refusal_text + "\"This request ID is already in use (" + n +
               "), try again in a few seconds.\"");
        return;
    }
    {
        ScopedLock hold(requests_lock, true);
        active_requests.insert(number);
    }
    kel::logline(number) << "Thread processing started";
    auto* record = new HelperRequest{number, this, command, arguments};
    kel::Thread thread(&Helper::request_thread, record, true);
    if (!thread.started()) {
        delete record;
        {
            ScopedLock hold(requests_lock, true);
            active_requests.erase(number);
        }
        requests_done.notify_all();
        answer(n + refusal_text +
               "\"Cannot start a thread for this request, try again in a few seconds.\"");
    }
}

void* Helper::request_thread(void* record) {
    run_request(*static_cast<HelperRequest*>(record));
    return nullptr;
}

int Helper::run_request(HelperRequest& request) {
    Helper& helper = *request.helper;
    helper.process_request(request.number, request.command, request.arguments);
    if (!helper.threaded) {
        return 0;
    }
    int32_t number = request.number;
    delete &request;
    kel::logline(number) << "Thread processing done";
    {
        // The notification is sent under the lock: once `run` sees the set empty it
        // may return and the helper may end, so nothing may touch it after this.
        ScopedLock hold(helper.requests_lock, true);
        helper.active_requests.erase(number);
        helper.requests_done.notify_all();
    }
    return 0;
}

void Helper::wait_for_active_requests() {
    ScopedLock hold(requests_lock, true);
    while (!active_requests.empty()) {
        requests_done.wait(requests_lock);
    }
}

}  // namespace cgp

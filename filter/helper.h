// The engine of the mail server's helper protocol: one request per line on standard
// input, one reply per line on standard output. It answers the protocol's own
// requests (INTF, KEY, QUIT) itself, checks the shape of every other line, and hands
// each well-formed request for a command the concrete helper serves to
// process_request. Every line of input gets exactly one reply line, and no input
// line ends the process.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <istream>
#include <set>
#include <string>

#include "mutex.h"

namespace cgp {

class Helper;

// One accepted request on its way to process_request.
struct HelperRequest {
    int32_t number;
    Helper* helper;       // not owned
    std::string command;  // folded to lower case
    std::string arguments;
};

class Helper {
  public:
    // `threaded` serves each request on a detached thread of its own; otherwise
    // requests are served on the reading thread, one after the other. The refusal
    // word opens every refusing reply of the engine (" REJECTED " for filters).
    Helper(bool threaded, const std::string& refusal_word);
    virtual ~Helper();
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // Called for INTF with the server's version; the result is sent back.
    virtual int interface_version(int server_version);
    // Called when QUIT arrives, before its reply.
    virtual void on_quit();
    // Serves one accepted request and writes its one reply line itself.
    virtual void process_request(int32_t number, const std::string& command,
                                 const std::string& arguments) = 0;
    // Whether this (lower-cased) command word is served.
    virtual bool accepts_command(const std::string& command) = 0;

    // The request loop over standard input; returns when the input ends or fails,
    // or when standard output can no longer be written.
    // In threaded mode it returns only after every admitted request has replied.
    // The end of the work lets go of the standard streams (end_work, work_apart.h).
    void run();
    // The same loop over another input; a seam for tests.
    void run(std::istream& input);

    // Serves one request; shaped as a thread entry. Always returns 0.
    static int run_request(HelperRequest& request);

    // Most requests served at once in threaded mode.
    static int max_queued_requests;

  private:
    void answer(const std::string& line);
    void admit(int32_t number, const std::string& command, const std::string& arguments);
    void wait_for_active_requests();
    static void* request_thread(void* record);

    bool intf_received = false;
    kel::Mutex requests_lock;
    bool threaded;
    std::set<int32_t> active_requests;
    std::string refusal_text;
    std::condition_variable_any requests_done;
};

// Reads the request number from the start of an id: optional leading white space
// and sign, then digits up to the first other byte; 0 when there are none or the
// value does not fit a signed 32-bit integer.
int32_t request_number_of(const std::string& field);

}  // namespace cgp

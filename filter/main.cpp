// The process entry. The mail server starts the filter in its base directory with
// the helper protocol on standard input and output, with the options its helper entry
// gives (--warn-only at most); they are read by Quorvel::start. The work is done in a
// child (work_apart.h), so that the process the server waits for ends with its input.
#include <cstdio>
#include <cstdlib>

#include "quorvel.h"
#include "work_apart.h"

namespace {

// The status of a work that died without saying one, as of a failure beyond recovery.
constexpr int trouble = 2;

}  // namespace

int main(int argc, char** argv) {
    work_apart(trouble);
    Quorvel filter;
    const int status = filter.start(argc, argv);
    // Ended without the destructors of statics and the exit handlers: a background
    // reading may be held for good in a call on a hung network mount, and nothing may
    // wait on it or free what it still uses. The request loop has let go of the
    // standard streams, so the server has seen the output end already; what was
    // written outside it (--help, --version) is flushed here.
    return end_work(status, true);
}

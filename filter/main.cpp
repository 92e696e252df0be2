// The process entry. The mail server starts the filter in its base directory with
// the helper protocol on standard input and output, with the options its helper entry
// gives (--warn-only at most); they are read by Quorvel::start.
#include "quorvel.h"

int main(int argc, char** argv) {
    Quorvel filter;
    return filter.start(argc, argv);
}

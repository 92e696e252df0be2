// The process entry. The mail server starts the filter in its base directory with
// the helper protocol on standard input and output, and without arguments; the
// options are read by Quorvel::start.
#include "quorvel.h"

int main(int argc, char** argv) {
    Quorvel filter;
    return filter.start(argc, argv);
}

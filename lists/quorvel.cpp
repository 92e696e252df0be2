// The posting decision (placeholder until the list check lands).
#include "quorvel.h"

cgp::FilterResult Quorvel::filter_file(int32_t, const std::string&) {
    return cgp::accept_result;
}

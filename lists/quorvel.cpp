// The filter's operation on one queued message: open it, bring the lists up to date,
// read it, decide (posting_decision.h), write the decision's records, and hand the
// verdict to the request layer. A message that cannot be opened is let through.
#include "quorvel.h"

#include "file_stream.h"
#include "list_record.h"
#include "list_refresh.h"
#include "logging.h"

cgp::FilterResult Quorvel::filter_file(int32_t request_number, const std::string& path) {
    kel::ifstream message(path);
    if (!message.is_open()) {
        kel::logline() << "Unexpected error, contact Kelvorn";
        return cgp::accept_result;
    }
    return filter_opened_file(request_number, path, message);
}

cgp::FilterResult Quorvel::filter_opened_file(int32_t request_number, const std::string&,
                                              kel::ifstream& message) {
    PostingDecision decision = decide_on_message(message, refresh_lists(request_number));
    for (const DecisionRecord& record : decision.records) {
        if (record.numbered) {
            kel::logline(request_number) << record.text;
        } else {
            kel::logline() << record.text;
        }
    }
    return filter_result(decision);
}

cgp::FilterResult filter_result(const PostingDecision& decision) {
    if (decision.refused) {
        return cgp::FilterResult{cgp::Reject, {decision.refusal}};
    }
    return cgp::accept_result;
}

// One posting decided for quorvel-check: a queued message file, or a posting given
// by its addresses on the command line, decided with the filter's own reading and
// decision (posting_decision.h) over the list table the bounded walk filled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "posting_decision.h"

enum class Verdict { Accepted, Refused, NotChecked };
// "accepted", "refused" or "not checked".
const char* verdict_word(Verdict verdict);

// One decision, with everything that is shown of it.
struct Explained {
    // The message file; empty for a posting given by its addresses.
    std::string path;
    // Stands for the request number in the records and the reply.
    int32_t number = 0;
    Verdict verdict = Verdict::NotChecked;
    // Why a message is not checked: the error text of the filter's reply.
    std::string error;
    QueuedMessage message;
    PostingDecision decision;
    // The record of the verdict, which the filter writes after the decision's own.
    std::string verdict_record;
    std::string reply;
    std::vector<std::string> warnings;
    // Each hosted list addressed, once, with its record (in the table it was decided
    // over, which outlives it) and its warnings.
    struct List {
        std::string address;
        const ListRecord* record = nullptr;
        std::vector<std::string> warnings;
    };
    std::vector<List> lists;

    size_t warning_count() const;
};

// Both decide over `table`.
Explained explain_message(const ListTable& table, int32_t number, const std::string& path);

// A posting with the From field's value `from`, read as the From reader reads one
// (a bare address, or "Name <address>"), to the recipients `to`, from the envelope
// sender `sender` (the From address when not given; "<>" or empty for the null
// sender). The addresses are folded, and a sender without "@" completed with the main
// domain, as the envelope reader does.
Explained explain_addresses(const ListTable& table, int32_t number, const std::string& from,
                            const std::vector<std::string>& to,
                            const std::optional<std::string>& sender);

// A record as the filter writes it: "* [n] text", or "* text".
std::string record_line(const DecisionRecord& record, int32_t number);

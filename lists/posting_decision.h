// The posting decision for one queued message, as a value: what the filter answers,
// which list decided it, and the records that explain it. It writes nothing, so the
// filter and the check tool run the very same decision and only lay it out
// differently. It trusts the list table and the message reader for their folding.
#pragma once

#include <functional>
#include <istream>
#include <string>
#include <unordered_map>
#include <vector>

#include "list_record.h"
#include "message_reader.h"

// One decision record. Its text is fit for a log record as it stands (addresses from
// the message went through kel::printable).
struct DecisionRecord {
    // Written with the request number: "* [n] text"; else "* text".
    bool numbered = true;
    std::string text;
};

struct PostingDecision {
    bool refused = false;
    // The refusal text for the reply; empty when the message is accepted.
    std::string refusal;
    // The folded address of the list that refused the message, else of the last
    // hosted list the decision examined; empty when it examined none.
    std::string list;
    // The hosted lists among the recipients as the decision judged them (unsubscribe
    // suffixes removed), in the order of the envelope, repeated as addressed.
    std::vector<std::string> lists;
    // In the order the filter writes them. A refusal's last record names the
    // refused: "Sender <envelope sender>, From <From address as read>", "(none)" for
    // an empty one, "<>" for the null sender.
    std::vector<DecisionRecord> records;
};

// Decides on a message with this envelope and From address (as read, not folded:
// the decision folds it) against the lists in `lists`, keyed by folded address.
PostingDecision decide_posting(const MessageEnvelope& envelope, const std::string& from,
                               const std::unordered_map<std::string, ListRecord>& lists);

// Gives the From address as read_from_header does; called at most once.
using FromReader = std::function<std::string()>;
// The same decision, asking for the From address only at the first subscriber test
// (an unsubscribe request, or a list open to its subscribers) or at a refusal: mail
// to no list, from a list's owner, or to a list open to anybody costs no reading of
// the header.
PostingDecision decide_posting(MessageEnvelope envelope, const FromReader& from,
                               const std::unordered_map<std::string, ListRecord>& lists);

// Reads the envelope of an opened message file from its start and decides on it,
// reading the From field from the stream only when the decision asks for it.
PostingDecision decide_on_message(std::istream& message,
                                  const std::unordered_map<std::string, ListRecord>& lists);

// What the decision reads from a queued message, read the way the filter reads it.
struct QueuedMessage {
    // False when the file does not begin with an envelope block: it is then no
    // queued message, and goes to no list.
    bool has_envelope = false;
    MessageEnvelope envelope;
    // The From address as the reader gives it, not folded; empty without an
    // envelope, without a From field, or when the field holds no mailbox.
    std::string from;
};
// Reads from the start of an opened message file: the envelope, then the From field
// (for a tool that shows it; the filter reads it only when needed).
QueuedMessage read_queued_message(std::istream& message);

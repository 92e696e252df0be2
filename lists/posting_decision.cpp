// The posting decision. The message is let through unless a recipient is a hosted
// list whose policy refuses this sender, or it is an unsubscribe request for such a
// list from an address that is not subscribed; a list is not judged on a file that
// cannot be read. The envelope sender is tested against the list owner, the From
// address (read only when a test or a refusal needs it) against the subscribers. The
// first refusal ends the walk, and the direct-posting path wins over the unsubscribe
// path.
#include "posting_decision.h"

#include <string_view>
#include <utility>

#include "address_folding.h"
#include "logging.h"

namespace {

using ListTable = std::unordered_map<std::string, ListRecord>;

const char* const not_allowed = "You are not allowed to post messages on this list";
const char* const not_subscribed =
    "You cannot post messages because you are not subscribed to this list";
const char* const spurious_unsubscribe = "Unsubscribe failed: you have not been subscribed";

// The From address, read on first use: as read for the refusal's record, folded for
// the subscriber tests.
class LazyFrom {
  public:
    explicit LazyFrom(const FromReader& read) : read(read) {}
    const std::string& as_read() {
        if (!done) {
            value = read();
            folded_value = fold_lower(value);
            done = true;
        }
        return value;
    }
    const std::string& folded() {
        as_read();
        return folded_value;
    }

  private:
    const FromReader& read;
    bool done = false;
    std::string value;
    std::string folded_value;
};

// Collects the records and the outcome while the walk runs.
class Decision {
  public:
    explicit Decision(const ListTable& lists) : lists(lists) {}

    bool is_hosted_list(const std::string& address) const {
        return lists.find(address) != lists.end();
    }
    const ListRecord* find(const std::string& address) const {
        auto found = lists.find(address);
        return found != lists.end() ? &found->second : nullptr;
    }
    // A record with the request number, about an address from the message.
    void record(std::string_view text, const std::string& address, std::string_view after = "") {
        std::string line;
        line.reserve(text.size() + address.size() + after.size());
        line += text;
        kel::append_printable(line, address);
        line += after;
        value.records.push_back({true, std::move(line)});
    }
    void unnumbered(std::string text) { value.records.push_back({false, std::move(text)}); }
    void numbered(std::string text) { value.records.push_back({true, std::move(text)}); }
    void refuse(const char* text) {
        value.refused = true;
        value.refusal = text;
    }
    // The last record of a refusal names who was refused, so that the log can be
    // searched for the person who complains: the envelope sender as shown ("<>" for
    // the null sender) and the From address as read.
    void name_the_refused(const std::string& sender, const std::string& from) {
        std::string line = "Sender ";
        append_address_or_none(line, sender);
        line += ", From ";
        append_address_or_none(line, from);
        value.records.push_back({true, std::move(line)});
    }

    PostingDecision value;

  private:
    static void append_address_or_none(std::string& line, const std::string& address) {
        if (address.empty()) {
            line += "(none)";
        } else {
            kel::append_printable(line, address);
        }
    }

    const ListTable& lists;
};

// Removes the first "-unsubscribe" or "-off" that stands before an "@" (tried in
// that order), recording the address as it was. False when there is neither.
bool strip_unsubscribe_suffix(Decision& decision, std::string& recipient) {
    for (std::string_view suffix : {std::string_view("-unsubscribe@"), std::string_view("-off@")}) {
        size_t found = recipient.find(suffix);
        if (found != std::string::npos) {
            decision.record("Unsubscribe request sent to ", recipient);
            recipient.erase(found, suffix.size() - 1);
            return true;
        }
    }
    return false;
}

// The first recipient, as written, that is a hosted list; else, when a recipient
// carries an unsubscribe suffix, the first list named by it or by a recipient
// after it. Returns false when the message is for no hosted list.
bool find_list_recipient(Decision& decision, std::vector<std::string>& recipients,
                         bool& unsubscribe_request) {
    for (const std::string& recipient : recipients) {
        if (decision.is_hosted_list(recipient)) {
            return true;
        }
    }
    for (std::string& recipient : recipients) {
        if (strip_unsubscribe_suffix(decision, recipient)) {
            unsubscribe_request = true;
        } else if (!unsubscribe_request) {
            continue;
        }
        std::string line = " (listname: ";
        kel::append_printable(line, recipient);
        line += ")";
        decision.unnumbered(std::move(line));
        if (decision.is_hosted_list(recipient)) {
            return true;
        }
    }
    return false;
}

bool is_owner(const ListRecord& list, const std::string& sender) {
    return !list.owner.empty() && equal_folded(list.owner, sender);
}

// Judges one hosted list; true when it refuses the message, which ends the walk.
bool judge_list(Decision& decision, const std::string& recipient, const ListRecord& list,
                const std::string& sender, LazyFrom& from, bool unsubscribe_request) {
    // A list whose files cannot be read is not judged: refusing on what could not be
    // read would bounce its legitimate posts.
    if (!list.settings_reading.readable) {
        decision.record("Not checking list ", recipient, ": its settings file cannot be read");
        return false;
    }
    if (is_owner(list, sender)) {
        decision.record("Sent by list owner to list ", recipient);
        return false;
    }
    if (!list.subscribers_reading.readable && (unsubscribe_request || list.policy == Subscribers)) {
        decision.record("Not checking list ", recipient, ": its subscriber file cannot be read");
        return false;
    }
    if (unsubscribe_request) {
        if (list.subscribers.find(from.folded()) != Subscription::NotSubscribed) {
            return false;
        }
        decision.record("Spurious unsubscribe from list ", recipient);
        decision.refuse(spurious_unsubscribe);
        return true;
    }
    switch (list.policy) {
        case OwnerOnly:
            decision.record("Posting is not allowed on list ", recipient);
            decision.refuse(not_allowed);
            return true;
        case Anybody:
            decision.record("Anyone can post on list ", recipient);
            return false;
        case Subscribers:
            break;
    }
    Subscription subscription = list.subscribers.find(from.folded());
    if (subscription == Subscription::NotSubscribed) {
        decision.record("From header doesn't match any address subscribed to list ", recipient);
        decision.refuse(not_subscribed);
        return true;
    }
    if (subscription == Subscription::MayNotPost) {
        decision.record(
            "From header matches an address subscribed but not authorized to post to list ",
            recipient);
        decision.refuse(not_allowed);
        return true;
    }
    decision.record("From header matches an address allowed to post to list ", recipient);
    return false;
}

}  // namespace

PostingDecision decide_posting(const MessageEnvelope& envelope, const std::string& from,
                               const ListTable& lists) {
    return decide_posting(
        envelope, [&from] { return from; }, lists);
}

PostingDecision decide_posting(MessageEnvelope envelope, const FromReader& read_from,
                               const ListTable& lists) {
    Decision decision(lists);
    std::vector<std::string>& recipients = envelope.recipients;
    bool unsubscribe_request = false;
    if (!find_list_recipient(decision, recipients, unsubscribe_request)) {
        decision.numbered("Not sent to a local list");
        return std::move(decision.value);
    }
    for (const std::string& recipient : recipients) {
        if (decision.is_hosted_list(recipient)) {
            decision.value.lists.push_back(recipient);
        }
    }

    LazyFrom from(read_from);
    for (const std::string& recipient : recipients) {
        const ListRecord* list = decision.find(recipient);
        if (list == nullptr) {
            continue;
        }
        decision.value.list = recipient;
        if (judge_list(decision, recipient, *list, envelope.sender, from, unsubscribe_request)) {
            decision.name_the_refused(shown_sender(envelope), from.as_read());
            break;
        }
    }
    return std::move(decision.value);
}

PostingDecision decide_on_message(std::istream& message, const ListTable& lists) {
    MessageEnvelope envelope;
    if (has_envelope(message)) {
        envelope = read_envelope(message);
    }
    // Read from where the envelope left the stream: the start of the header block.
    return decide_posting(
        std::move(envelope), [&message] { return read_from_header(message); }, lists);
}

QueuedMessage read_queued_message(std::istream& message) {
    QueuedMessage read;
    read.has_envelope = has_envelope(message);
    if (read.has_envelope) {
        read.envelope = read_envelope(message);
        read.from = read_from_header(message);
    }
    return read;
}

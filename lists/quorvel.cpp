// The posting decision for one queued message. The message is let through unless a
// recipient is a list hosted here whose policy refuses this sender, or it is an
// unsubscribe request for such a list from an address that is not subscribed. A
// list is not judged on a file that cannot be read.
// Two addresses are tested: the envelope sender against the list owner, the From
// address against the subscribers.
#include "quorvel.h"

#include <string_view>
#include <vector>

#include "address_folding.h"
#include "file_stream.h"
#include "list_directory.h"
#include "logging.h"
#include "message_reader.h"

namespace {

const char* const not_allowed = "You are not allowed to post messages on this list";
const char* const not_subscribed =
    "You cannot post messages because you are not subscribed to this list";
const char* const spurious_unsubscribe = "Unsubscribe failed: you have not been subscribed";

cgp::FilterResult reject(const char* text) {
    return cgp::FilterResult{cgp::Reject, {text}};
}

bool is_hosted_list(const std::string& address) {
    return list_table.find(address) != list_table.end();
}

// Removes the first "-unsubscribe" or "-off" that stands before an "@" (tried in
// that order), logging the address as it was. False when there is neither.
bool strip_unsubscribe_suffix(int32_t request_number, std::string& recipient) {
    for (std::string_view suffix : {std::string_view("-unsubscribe@"), std::string_view("-off@")}) {
        size_t found = recipient.find(suffix);
        if (found != std::string::npos) {
            kel::logline(request_number)
                << "Unsubscribe request sent to " << kel::printable(recipient);
            recipient.erase(found, suffix.size() - 1);
            return true;
        }
    }
    return false;
}

// The first recipient, as written, that is a hosted list; else, when a recipient
// carries an unsubscribe suffix, the first list named by it or by a recipient
// after it. Returns false when the message is for no hosted list.
bool find_list_recipient(int32_t request_number, std::vector<std::string>& recipients,
                         bool& unsubscribe_request) {
    for (const std::string& recipient : recipients) {
        if (is_hosted_list(recipient)) {
            return true;
        }
    }
    for (std::string& recipient : recipients) {
        if (strip_unsubscribe_suffix(request_number, recipient)) {
            unsubscribe_request = true;
        } else if (!unsubscribe_request) {
            continue;
        }
        kel::logline() << " (listname: " << kel::printable(recipient) << ")";
        if (is_hosted_list(recipient)) {
            return true;
        }
    }
    return false;
}

bool is_owner(const ListRecord& list, const std::string& sender) {
    return !list.owner.empty() && equal_folded(list.owner, sender);
}

}  // namespace

cgp::FilterResult Quorvel::filter_file(int32_t request_number, const std::string& path) {
    kel::ifstream message(path);
    if (!message.is_open()) {
        kel::logline() << "Unexpected error, contact Kelvorn";
        return cgp::accept_result;
    }
    refresh_lists(request_number);

    MessageEnvelope envelope;
    if (has_envelope(message)) {
        envelope = read_envelope(message);
    }
    bool unsubscribe_request = false;
    if (!find_list_recipient(request_number, envelope.recipients, unsubscribe_request)) {
        kel::logline(request_number) << "Not sent to a local list";
        return cgp::accept_result;
    }

    const std::string from = fold_lower(read_from_header(message));
    for (const std::string& recipient : envelope.recipients) {
        auto found = list_table.find(recipient);
        if (found == list_table.end()) {
            continue;
        }
        const ListRecord& list = found->second;
        // A list whose files cannot be read is not judged: refusing on what could
        // not be read would bounce its legitimate posts.
        if (!list.settings_reading.readable) {
            kel::logline(request_number) << "Not checking list " << kel::printable(recipient)
                                         << ": its settings file cannot be read";
            continue;
        }
        if (is_owner(list, envelope.sender)) {
            kel::logline(request_number)
                << "Sent by list owner to list " << kel::printable(recipient);
            continue;
        }
        if (!list.subscribers_reading.readable &&
            (unsubscribe_request || list.policy == Subscribers)) {
            kel::logline(request_number) << "Not checking list " << kel::printable(recipient)
                                         << ": its subscriber file cannot be read";
            continue;
        }
        Subscription subscription = list.subscribers.find(from);
        if (unsubscribe_request) {
            if (subscription != Subscription::NotSubscribed) {
                continue;
            }
            kel::logline(request_number)
                << "Spurious unsubscribe from list " << kel::printable(recipient);
            return reject(spurious_unsubscribe);
        }
        switch (list.policy) {
            case OwnerOnly:
                kel::logline(request_number)
                    << "Posting is not allowed on list " << kel::printable(recipient);
                return reject(not_allowed);
            case Anybody:
                kel::logline(request_number)
                    << "Anyone can post on list " << kel::printable(recipient);
                continue;
            case Subscribers:
                break;
        }
        if (subscription == Subscription::NotSubscribed) {
            kel::logline(request_number)
                << "From header doesn't match any address subscribed to list "
                << kel::printable(recipient);
            return reject(not_subscribed);
        }
        if (subscription == Subscription::MayNotPost) {
            kel::logline(request_number)
                << "From header matches an address subscribed but not authorized to post to list "
                << kel::printable(recipient);
            return reject(not_allowed);
        }
        kel::logline(request_number) << "From header matches an address allowed to post to list "
                                     << kel::printable(recipient);
    }
    return cgp::accept_result;
}

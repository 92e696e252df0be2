// The texts the whole-process tests expect from the filter and the check tool: the
// start-up lines, the refusals of the replies and the records of the decisions, kept
// here once so that every test compares against the same wording. The texts come
// without a request number; record() and reply() put one in front ("n" as the live
// filter writes it, see live_filter.h).
#pragma once

#include <string>
#include <vector>

// A log record of request `number`, and its reply.
inline std::string record(const std::string& text, const std::string& number = "n") {
    return "* [" + number + "] " + text;
}
inline std::string reply(const std::string& text, const std::string& number = "n") {
    return number + " " + text;
}

// The lines before the first request.
inline const std::vector<std::string> banner = {
    "* Kelvorn's Quorvel filter 1.0a for Communigate Pro",
    "* This filter will verify list posting rights before the message is processed",
    "*   by the LIST module. CGP sync rules will allow the unauthorized messages to",
    "*   be rejected during the SMTP transaction, thus reducing the backscatter.",
};
// Written when the main domain cannot be read from the current directory.
inline const std::string directory_hint =
    "* Be sure the current working directoy is CGPro base directory";
inline const std::string ready_line = "* Ready to receive INTF command.";
// Written right after the banner when started with --warn-only.
inline const std::string warn_only_line = "* Warn-only mode: no message is refused";

// The reasons of the refusals, and the replies that carry them.
inline const std::string not_allowed_reason = "You are not allowed to post messages on this list";
inline const std::string not_subscribed_reason =
    "You cannot post messages because you are not subscribed to this list";
inline const std::string not_allowed = "ERROR \"" + not_allowed_reason + "\"";
inline const std::string not_subscribed = "ERROR \"" + not_subscribed_reason + "\"";
inline const std::string unsubscribe_failed =
    "ERROR \"Unsubscribe failed: you have not been subscribed\"";

// The decision's records, each naming the list (or the address) it concerns.
inline std::string reading_settings(const std::string& list) {
    return "Reading list settings: " + list;
}
inline std::string reading_subscribers(const std::string& list) {
    return "Reading list subscribers: " + list;
}
inline std::string from_allowed(const std::string& list) {
    return "From header matches an address allowed to post to list " + list;
}
inline std::string from_muted(const std::string& list) {
    return "From header matches an address subscribed but not authorized to post to list " + list;
}
inline std::string from_stranger(const std::string& list) {
    return "From header doesn't match any address subscribed to list " + list;
}
inline std::string anyone_can_post(const std::string& list) {
    return "Anyone can post on list " + list;
}
inline std::string posting_not_allowed(const std::string& list) {
    return "Posting is not allowed on list " + list;
}
inline std::string sent_by_owner(const std::string& list) {
    return "Sent by list owner to list " + list;
}
inline std::string settings_unread(const std::string& list) {
    return "Not checking list " + list + ": its settings file cannot be read";
}
inline std::string subscribers_unread(const std::string& list) {
    return "Not checking list " + list + ": its subscriber file cannot be read";
}
inline std::string unsubscribe_request(const std::string& address) {
    return "Unsubscribe request sent to " + address;
}
// The whole line, which carries no request number.
inline std::string listname_line(const std::string& list) {
    return "*  (listname: " + list + ")";
}
inline std::string spurious_unsubscribe(const std::string& list) {
    return "Spurious unsubscribe from list " + list;
}
// The record before every refusal's verdict: who was refused, the From address as
// read ("(none)" for an empty address).
inline std::string refused_sender(const std::string& sender, const std::string& from) {
    return "Sender " + sender + ", From " + from;
}
// Jane's messages (message_from_jane in server_tree.h), refused.
inline const std::string jane_refused = refused_sender("someone@x.net", "jane@example.com");
// The warning right after a list's "Reading list settings" record when its "Postings"
// is none of the server's values (the other settings warnings: list_warnings_test.cpp).
inline std::string unknown_postings(const std::string& list, const std::string& postings) {
    return "List " + list + ": \"Postings\" is \"" + postings +
           "\", none of the server's values; read as \"from subscribers\"";
}
inline const std::string not_a_list = "Not sent to a local list";
inline const std::string accepting = "Accepting message";
inline const std::string rejecting = "Rejecting message";
// The verdict's record with --warn-only.
inline std::string would_reject(const std::string& reason) {
    return "Would reject message: " + reason;
}
// The records of a message while the lists on network storage are not known.
inline const std::string network_still_reading =
    "Lists on network storage are still being read, not checked yet";
inline const std::string network_not_read_for = "Lists on network storage not read for ";

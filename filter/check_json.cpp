// The JSON layouts of quorvel-check. Values are the bytes as read (the writer makes
// any bytes valid JSON); records and warnings are the texts the log and the text
// output show. What is not there, or not known, is null.
#include "check_json.h"

#include "address_folding.h"
#include "check_places.h"
#include "json_writer.h"

namespace {

void write_list(kel::JsonWriter& json, const Explained::List& shown,
                const std::string& folded_from) {
    const ListRecord& list = *shown.record;
    const bool settings = list.settings_reading.readable;
    json.begin_object().key("address").string(shown.address);
    json.key("policy").string_or_null(settings ? policy_words(list.policy) : "");
    json.key("postings").optional_string(settings ? list.postings : std::nullopt);
    json.key("owner").string_or_null(settings ? list.owner : "");
    json.key("settings_error").string_or_null(list.settings_reading.reason);
    json.key("from").string_or_null(standing_words(list, folded_from));
    json.key("subscribers_error").string_or_null(list.subscribers_reading.reason);
    json.key("warnings").strings(shown.warnings).end_object();
}

void write_decision(kel::JsonWriter& json, const Explained& explained) {
    const QueuedMessage& message = explained.message;
    const bool checked = explained.verdict != Verdict::NotChecked;
    json.key("sender").string_or_null(checked ? shown_sender(message.envelope) : "");
    json.key("recipients").strings(message.envelope.recipients);
    json.key("from").string_or_null(message.from);
    json.key("from_folded").string_or_null(fold_lower(message.from));
    json.key("lists").begin_array();
    for (const Explained::List& list : explained.lists) {
        write_list(json, list, fold_lower(message.from));
    }
    json.end_array().key("records").begin_array();
    if (checked) {
        for (const DecisionRecord& record : explained.decision.records) {
            json.string(record_line(record, explained.number));
        }
        json.string(record_line({true, explained.verdict_record}, explained.number));
    }
    json.end_array();
}

void write_explained(kel::JsonWriter& json, const Explained& explained) {
    json.begin_object().key("path").string_or_null(explained.path);
    json.key("number").number(explained.number);
    write_decision(json, explained);
    json.key("reply").string(explained.reply);
    json.key("verdict").string(verdict_word(explained.verdict));
    json.key("list").string_or_null(explained.decision.list);
    json.key("refusal").string_or_null(explained.decision.refusal);
    json.key("error").string_or_null(explained.error);
    json.key("warnings").strings(explained.warnings).end_object();
}

// Opens the object of a list file and leaves it open for more members.
void write_file(kel::JsonWriter& json, const std::string& path, const ListFileReading& reading,
                bool missing) {
    json.begin_object().key("path").string(path);
    json.key("state").string(!reading.readable ? "cannot be read" : missing ? "missing" : "read");
    json.key("reason").string_or_null(reading.reason);
}

void write_list_report(kel::JsonWriter& json, const ListReport& report) {
    const ListRecord& list = *report.list;
    const bool settings = list.settings_reading.readable;
    const bool members = list.subscribers_reading.readable;
    json.begin_object().key("address").string(report.address);
    json.key("policy").string_or_null(settings ? policy_words(list.policy) : "");
    json.key("postings").optional_string(settings ? list.postings : std::nullopt);
    json.key("owner").string_or_null(settings ? list.owner : "");
    json.key("subscribers");
    members ? json.number(static_cast<int64_t>(list.subscribers.size())) : json.null();
    json.key("may_post");
    members ? json.number(static_cast<int64_t>(list.subscribers.posting_count())) : json.null();
    json.key("settings");
    write_file(json, list.settings_path, list.settings_reading, report.settings_missing);
    json.end_object().key("members");
    write_file(json, list.subscribers_path, list.subscribers_reading, false);
    json.key("short_lines").number(static_cast<int64_t>(report.short_lines)).end_object();
    json.key("reports").strings(report.reports);
    json.key("warnings").strings(report.warnings).end_object();
}

// The places whose lists are not shown, for a monitor to tell without the texts.
void write_unread(kel::JsonWriter& json, const std::vector<UnreadPlace>& unread) {
    json.key("unread_places").begin_array();
    for (const UnreadPlace& place : unread) {
        json.begin_object().key("path").string(place.path);
        json.key("state").string(unread_state(place.why));
        json.key("reason").string_or_null(place.reason).end_object();
    }
    json.end_array();
}

}  // namespace

std::string messages_json(const std::vector<Explained>& decisions, const CheckCounts& counts,
                          const std::vector<std::string>& tree_warnings,
                          const std::vector<std::string>& reports,
                          const std::vector<UnreadPlace>& unread) {
    kel::JsonWriter json;
    json.begin_object().key("messages").begin_array();
    for (const Explained& explained : decisions) {
        write_explained(json, explained);
    }
    json.end_array().key("counts").begin_object();
    json.key("messages").number(static_cast<int64_t>(counts.messages));
    json.key("accepted").number(static_cast<int64_t>(counts.accepted));
    json.key("refused").number(static_cast<int64_t>(counts.refused));
    json.key("not_checked").number(static_cast<int64_t>(counts.not_checked));
    json.key("warnings").number(static_cast<int64_t>(counts.warnings)).end_object();
    json.key("reports").strings(reports);
    write_unread(json, unread);
    json.key("warnings").strings(tree_warnings).end_object();
    return json.text();
}

std::string lists_json(const ListsReport& report, const std::vector<std::string>& tree_warnings,
                       const std::vector<UnreadPlace>& unread) {
    kel::JsonWriter json;
    json.begin_object().key("lists").begin_array();
    for (const ListReport& list : report.lists) {
        write_list_report(json, list);
    }
    json.end_array().key("settings_without_list").begin_array();
    for (const SettingsWithoutList& settings : report.unlisted) {
        json.begin_object().key("address").string(settings.address);
        json.key("settings").string(settings.path);
        json.key("warnings").strings(settings.warnings).end_object();
    }
    json.end_array().key("counts").begin_object();
    json.key("lists").number(static_cast<int64_t>(report.lists.size()));
    json.key("warnings")
        .number(static_cast<int64_t>(report.warning_count() + tree_warnings.size()))
        .end_object();
    write_unread(json, unread);
    json.key("warnings").strings(tree_warnings).end_object();
    return json.text();
}

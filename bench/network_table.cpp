// The header and the closing table. A cell holds this build's figure and, when a
// before build ran, "(from ...)" with its figure, as the targets are written.
#include "network_table.h"

#include <algorithm>
#include <cstdio>

#include "bench_process.h"

namespace {

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string seconds_text(double seconds) {
    return format(seconds < 10 ? "%.2f s" : "%.1f s", seconds);
}

std::string wait_text(const Wait& wait, double cap) {
    return wait.reached ? seconds_text(wait.seconds) : format("over %.0f s", cap);
}

std::string samples_text(std::vector<double> seen, bool cut, double cap) {
    if (cut) {
        seen.pop_back();
    }
    std::string text;
    if (!seen.empty()) {
        text = seconds_text(median(seen)) + " / " +
               seconds_text(*std::max_element(seen.begin(), seen.end())) +
               format(" (%.0f)", static_cast<double>(seen.size()));
    }
    if (cut) {
        text += (text.empty() ? "" : ", then ") + format("over %.0f s", cap);
    }
    return text.empty() ? "not measured" : text;
}

std::string beside(const std::string& now, const std::string& before, bool with_before) {
    return with_before ? now + " (from " + before + ")" : now;
}

std::string network_cells(const std::vector<NetworkFigures>& builds,
                          const NetworkSettings& settings) {
    const bool two = builds.size() > 1;
    const NetworkFigures& now = builds.front();
    const NetworkFigures& old = builds.back();
    const double caps[] = {settings.cap, settings.before_cap};
    auto cells = [&](auto text) {
        return "| " + beside(text(now, caps[0]), text(old, caps[1]), two) + " ";
    };
    std::string row;
    row += cells([](const NetworkFigures& f, double cap) { return wait_text(f.first.known, cap); });
    row += cells([](const NetworkFigures& f, double cap) {
        return samples_text(f.new_seen, f.new_cut, cap);
    });
    row += cells([](const NetworkFigures& f, double cap) {
        return samples_text(f.changed_seen, f.changed_cut, cap);
    });
    row += cells([](const NetworkFigures& f, double) {
        return f.ratio.pairs > 0 ? format("%.2f", f.ratio.ratio()) : std::string("not measured");
    });
    row += cells([](const NetworkFigures& f, double) {
        return f.idle_percent >= 0 ? format("%.2f %%", f.idle_percent)
                                   : std::string("not measured");
    });
    return row + "|";
}

std::string local_cell(const std::vector<LocalFigures>& builds, const NetworkSettings& settings) {
    const bool two = builds.size() > 1;
    const LocalFigures& now = builds.front();
    const LocalFigures& old = builds.back();
    auto first = [](const FirstReading& reading) {
        return seconds_text(reading.first_reply_seconds);
    };
    std::string cell = "first reply " + beside(first(now.warm), first(old.warm), two) + " warm, ";
    if (now.cold && old.cold) {
        cell += beside(first(*now.cold), first(*old.cold), two) + " cold";
    } else {
        cell += "cold " + now.cold_note;
    }
    return cell + "; every list " +
           beside(wait_text(now.warm.known, settings.cap),
                  wait_text(old.warm.known, settings.before_cap), two) +
           " warm";
}

}  // namespace

std::string shape_label(const TreeShape& shape) {
    std::string digits = std::to_string(shape.domains);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), ",");
    }
    return digits + " x " + std::to_string(shape.lists_per_domain);
}

void print_header(const NetworkSettings& settings, const std::string& binary) {
    std::printf("Lists at hosting scale: the figures of the targets, this build");
    std::printf(settings.before.empty() ? ".\n" : " beside the before build, in one run.\n");
    std::printf("  this build: %s (every wait cut at %.0f s)\n", binary.c_str(), settings.cap);
    if (!settings.before.empty()) {
        std::printf("  before:     %s (every wait cut at %.0f s, shown \"over N s\")\n",
                    settings.before.c_str(), settings.before_cap);
    }
    std::printf("  shapes:");
    for (const TreeShape& shape : settings.shapes) {
        std::printf(" %s;", shape_label(shape).c_str());
    }
    std::printf(" lists of %d subscribers, a queue of %d messages\n",
                settings.shapes.front().subscribers_per_list, settings.shapes.front().messages);
    std::printf("  slow storage: \"Domains\" on the FUSE pass-through of the tests, adding");
    for (size_t i = 0; i < settings.delays_us.size(); ++i) {
        std::printf("%s %u µs",
                    i == 0                               ? ""
                    : i + 1 == settings.delays_us.size() ? " then"
                                                         : ",",
                    settings.delays_us[i]);
    }
    std::printf(
        " to every metadata call;\n  names kept %g s, missing names %g s, no attributes kept;"
        " the queue and the main\n  domain's lists on local disk. %s\n",
        settings.entry_timeout, settings.negative_timeout,
        settings.one_cpu ? "Driver and filters on one CPU (--one-cpu)."
                         : "Filters on any CPU of the machine.");
    std::printf(
        "What the figures are:\n"
        "  every list known after start: from sending the first message until the first reply\n"
        "    that carries neither \"%s\"\n"
        "    nor \"%s\"; a message every 50 ms meanwhile.\n"
        "  a new list seen after: a list created in a domain on the slow storage (its .settings,\n"
        "    then its .list, each written under a temporary name and renamed into place), then a\n"
        "    posting by a non-subscriber every 50 ms until its reply changes (the refusal).\n"
        "  a changed list seen after: an existing list's policy set to owner only, or its\n"
        "    subscriber file without the poster, likewise; a posting by that subscriber every\n"
        "    50 ms until its reply changes. Samples: %d each (before: %d), new and changed in\n"
        "    turn, the first new one as soon as every list is known, then each after a varying\n"
        "    pause, at domains spread over the tree; cells give median / longest (samples).\n"
        "  message vs local floor: the median time from request to reply on this tree over the\n"
        "    median of the same executable on the floor tree (same domains and messages, no\n"
        "    lists, all local), the same message to each in turn, one pair every 10 ms for\n"
        "    %.0f s, after the edits.\n"
        "  filter CPU while idle: the filter's utime + stime (all its threads, /proc/PID/stat)\n"
        "    over %.0f s without messages, right after the above, in %% of one core (passes\n"
        "    go on for five minutes after the last message).\n"
        "  local disk: the whole tree local; first reply: from the first message after start to\n"
        "    its reply; warm: the files in the page cache; cold: after sync and\n"
        "    \"echo 3 > /proc/sys/vm/drop_caches\"; every list: as above.\n",
        network_still_reading.c_str(), local_still_reading.c_str(), settings.changes,
        settings.before_changes, settings.ratio_seconds, settings.idle_seconds);
    std::fflush(stdout);
}

void print_table(const std::vector<TableRow>& rows, const NetworkSettings& settings) {
    std::printf("The figures, this build's%s:\n",
                settings.before.empty() ? "" : " and \"(from ...)\" the before build's");
    std::printf(
        "| shape | storage | every list known after start | a new list seen after | a changed "
        "list seen after | message vs local floor (medians) | filter CPU while idle |\n"
        "|---|---|---|---|---|---|---|\n");
    for (const TableRow& row : rows) {
        const std::string shape = shape_label(row.shape);
        if (row.delay_us) {
            std::printf("| %s | %u µs per metadata call %s\n", shape.c_str(), *row.delay_us,
                        network_cells(row.network, settings).c_str());
        } else {
            std::printf("| %s | local disk | %s | | | | |\n", shape.c_str(),
                        local_cell(row.local, settings).c_str());
        }
    }
    std::fflush(stdout);
}

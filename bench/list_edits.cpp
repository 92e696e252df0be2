// The edits. A new list's settings come before its subscriber file, whose name is
// what makes it a list; the temporary names do not end in ".list".
#include "list_edits.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "synthetic_tree.h"

namespace fs = std::filesystem;

namespace {

const std::string member = "member0@example.net";
const std::string stranger = "stranger@example.org";

void replace_file(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".new";
    std::ofstream(temporary, std::ios::binary) << content;
    fs::rename(temporary, path);
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string settings_with(const std::string& postings) {
    return "{\n  Owner = boss;\n  Postings = \"" + postings +
           "\";\n  Subscribe = \"moderated\";\n}\n";
}

}  // namespace

ListEdits::ListEdits(std::string root, std::string domains_source)
    : root(std::move(root)), domains_source(std::move(domains_source)) {}

std::string ListEdits::list_directory(int domain) const {
    const std::string relative = synthetic_list_directory(domain);  // "Domains/..."
    return domains_source + relative.substr(std::string("Domains").size());
}

std::string ListEdits::posting(const std::string& sender, const std::string& list_address) {
    const std::string relative = "Queue/edit-" + std::to_string(++made) + ".msg";
    std::ofstream(root + "/" + relative, std::ios::binary)
        << "P I 08-12-2026_10:00:00 0000 ____ <" << sender << ">\n"
        << "R W 08-12-2026_10:00:00 0000 ____ <" << list_address << ">\n\n"
        << "From: Someone <" << sender << ">\nTo: " << list_address
        << "\nSubject: benchmark\n\nBody.\n";
    created.push_back(root + "/" + relative);
    return relative;
}

ListEdit ListEdits::new_list(int domain) {
    const std::string name = "fresh" + std::to_string(made);
    const std::string address = name + "@d" + std::to_string(domain) + ".test";
    const std::string base = list_directory(domain) + "/" + name;
    created.push_back(base + ".settings");
    created.push_back(base + ".list");
    return {"new list " + address, posting(stranger, address), [base] {
                replace_file(base + ".settings", settings_with("from subscribers"));
                replace_file(base + ".list",
                             member + "\tfeed\t08-12-2026_10:00:00\t0\t-\tMember\n");
            }};
}

ListEdit ListEdits::change_list(int domain, bool settings) {
    const std::string address = "list3@d" + std::to_string(domain) + ".test";
    const std::string path = list_directory(domain) + "/list3" + (settings ? ".settings" : ".list");
    const std::string content = read_file(path);
    saved.emplace_back(path, content);
    const std::string what =
        address + (settings ? " open to its owner only" : " without its first subscriber");
    return {what, posting(member, address), [path, content, settings] {
                replace_file(path, settings ? settings_with("from owner only")
                                            : content.substr(content.find('\n') + 1));
            }};
}

void ListEdits::undo_all() {
    std::error_code ignored;
    for (const std::string& path : created) {
        fs::remove(path, ignored);
    }
    // Latest first, so that a file changed twice ends as it was at first.
    for (auto entry = saved.rbegin(); entry != saved.rend(); ++entry) {
        replace_file(entry->first, entry->second);
    }
    created.clear();
    saved.clear();
}

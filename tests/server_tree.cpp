// The temporary server tree of the whole-process tests.
#include "server_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

ServerTree::ServerTree() {
    std::string pattern = (fs::temp_directory_path() / "quorvel-tree-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    root = pattern;
}

ServerTree::ServerTree(const std::map<std::string, std::string>& files) : ServerTree() {
    write(files);
}

ServerTree::~ServerTree() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

void ServerTree::write(const std::string& relative, const std::string& content) {
    fs::create_directories(fs::path(full(relative)).parent_path());
    std::ofstream out(full(relative), std::ios::binary | std::ios::trunc);
    out << content;
}

void ServerTree::write(const std::map<std::string, std::string>& files) {
    for (const auto& [relative, content] : files) {
        write(relative, content);
    }
}

void ServerTree::write_list(const std::string& place, const std::string& settings,
                            const std::string& subscribers) {
    write(place + ".settings", settings);
    write(place + ".list", subscribers);
}

void ServerTree::append(const std::string& relative, const std::string& content) {
    fs::create_directories(fs::path(full(relative)).parent_path());
    std::ofstream out(full(relative), std::ios::binary | std::ios::app);
    out << content;
}

std::string ServerTree::read(const std::string& relative) const {
    std::ifstream in(full(relative), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void ServerTree::remove(const std::string& relative) {
    fs::remove_all(full(relative));
}

void ServerTree::rename(const std::string& from, const std::string& to) {
    fs::rename(full(from), full(to));
}

void ServerTree::make_directory(const std::string& relative) {
    fs::create_directories(full(relative));
}

void ServerTree::make_fifo(const std::string& relative) {
    fs::create_directories(fs::path(full(relative)).parent_path());
    mkfifo(full(relative).c_str(), 0644);
}

void ServerTree::make_symlink(const std::string& target, const std::string& relative) {
    fs::create_directories(fs::path(full(relative)).parent_path());
    fs::create_symlink(target, full(relative));
}

void ServerTree::set_time(const std::string& relative, long long seconds, long nanoseconds) {
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = times[1].tv_nsec = nanoseconds;
    utimensat(AT_FDCWD, full(relative).c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::string main_settings(const std::string& domain) {
    return "{\n  DomainName = " + domain + ";\n  ServerOptions = (Relay, Verbose);\n}\n";
}

std::string subscriber_line(const std::string& address, const std::string& posting) {
    return address + "\tfeed\t01-01-2026_00:00:00\t0\t" + posting + "\tName\n";
}

std::string queued_message(const std::string& sender, const std::vector<std::string>& recipients,
                           const std::string& headers) {
    std::string message = "P I 01-12-2026_10:00:00 0000 <" + sender + ">\n";
    for (const std::string& recipient : recipients) {
        message += "R W 01-12-2026_10:00:00 0000 <" + recipient + ">\n";
    }
    message += "\n" + headers;
    if (!headers.empty() && headers.back() != '\n') {
        message += "\n";
    }
    message += "\nBody text.\n";
    return message;
}

std::string message_from_jane(const std::string& list) {
    return queued_message("someone@x.net", {list}, "From: Jane <jane@example.com>");
}

std::map<std::string, std::string> jane_server() {
    return {{"Settings/Main.settings", main_settings("example.com")},
            {"Queue/news.msg", message_from_jane("news@example.com")},
            {"Queue/team.msg", message_from_jane("team@example.org")}};
}

std::map<std::string, std::string> news_server() {
    return {{"Settings/Main.settings", main_settings("example.com")},
            {"Accounts/LISTS/news.settings", "{ Postings = \"from subscribers\"; }"},
            {"Accounts/LISTS/news.list", subscriber_line("jane@example.com")}};
}

std::map<std::string, std::string> team_server() {
    return {
        {"Settings/Main.settings", main_settings("example.com")},
        {"Accounts/LISTS/team.settings", "{ Owner = lead; Postings = \"from subscribers\"; }"},
        {"Accounts/LISTS/team.list",
         subscriber_line("ann@example.net") + subscriber_line("bob@example.net", "-010001")},
        {"Queue/ok.msg",
         queued_message("ann@example.net", {"team@example.com"}, "From: Ann <ann@example.net>")},
        {"Queue/stranger.msg",
         queued_message("eve@example.net", {"team@example.com"}, "From: eve@example.net")},
    };
}

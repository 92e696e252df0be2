// The tree generator. Names are deterministic so that two trees of one shape hold
// the same messages; the floor tree differs only in having no list directories.
#include "synthetic_tree.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string domain_name(int index) {
    return index == 0 ? "main.test" : "d" + std::to_string(index) + ".test";
}

std::string list_name(int index) {
    return "list" + std::to_string(index);
}

std::string subscriber(int index) {
    return "member" + std::to_string(index) + "@example.net";
}

void write_file(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string message(const std::string& sender, const std::string& recipient,
                    const std::string& from) {
    return "P I 08-12-2026_10:00:00 0000 ____ <" + sender +
           ">\n"
           "R W 08-12-2026_10:00:00 0000 ____ <" +
           recipient +
           ">\n"
           "\n"
           "Received: from mx.example.net ([192.0.2.1])\n"
           "From: Someone <" +
           from +
           ">\n"
           "To: " +
           recipient +
           "\n"
           "Subject: benchmark\n"
           "\n"
           "Body.\n";
}

}  // namespace

std::string synthetic_list_directory(int domain) {
    return domain == 0 ? "Accounts/LISTS" : "Domains/" + domain_name(domain) + "/LISTS";
}

SyntheticTree make_synthetic_tree(const std::string& root, const TreeShape& shape) {
    SyntheticTree tree{root, {}};
    write_file(fs::path(root) / "Settings/Main.settings",
               "{\n  DomainName = main.test;\n  ServerOptions = (Relay);\n}\n");
    fs::create_directories(fs::path(root) / "Accounts");
    for (int domain = 0; domain < shape.domains; ++domain) {
        if (domain != 0) {
            fs::create_directories(fs::path(root) / "Domains" / domain_name(domain));
        }
        if (!shape.with_lists) {
            continue;
        }
        std::string directory = synthetic_list_directory(domain);
        for (int list = 0; list < shape.lists_per_domain; ++list) {
            static const char* policies[] = {"from owner only", "from anybody", "moderate guests",
                                             "from subscribers"};
            fs::path base = fs::path(root) / directory / list_name(list);
            write_file(base.string() + ".settings",
                       std::string("{\n  Owner = boss;\n  Postings = \"") + policies[list % 4] +
                           "\";\n  Subscribe = \"moderated\";\n}\n");
            std::string subscribers;
            for (int member = 0; member < shape.subscribers_per_list; ++member) {
                subscribers += subscriber(member) + "\tfeed\t08-12-2026_10:00:00\t0\t" +
                               (member % 5 == 4 ? "-010001" : "-") + "\tMember\n";
            }
            write_file(base.string() + ".list", subscribers);
        }
    }
    for (int index = 0; index < shape.messages; ++index) {
        int domain = index % shape.domains;
        int list = (index / shape.domains) % shape.lists_per_domain;
        std::string address = list_name(list) + "@" + domain_name(domain);
        std::string member = subscriber(index % std::max(1, shape.subscribers_per_list));
        std::string content;
        switch (index % 10) {
            case 0:
            case 1:
            case 2:
            case 3:  // postings by subscribers
                content = message(member, address, member);
                break;
            case 4:
            case 5:  // postings by the owner
                content =
                    message("boss@" + domain_name(domain), address, "boss@" + domain_name(domain));
                break;
            case 6:  // unsubscribe requests
                content = message(member, list_name(list) + "-unsubscribe@" + domain_name(domain),
                                  member);
                break;
            default:  // mail to no list
                content = message(
                    member, "person" + std::to_string(index) + "@" + domain_name(domain), member);
        }
        std::string relative = "Queue/" + std::to_string(index) + ".msg";
        write_file(fs::path(root) / relative, content);
        tree.messages.push_back(relative);
    }
    return tree;
}

// A mail server base directory built in a temporary folder for one test, and
// removed with it, and the files of the servers that several tests build in it.
// Paths are relative to the tree's root.
#pragma once

#include <map>
#include <string>
#include <vector>

class ServerTree {
  public:
    ServerTree();
    // Writes each path with its content, making parent directories as needed.
    explicit ServerTree(const std::map<std::string, std::string>& files);
    ~ServerTree();
    ServerTree(const ServerTree&) = delete;
    ServerTree& operator=(const ServerTree&) = delete;

    const std::string& path() const { return root; }
    std::string full(const std::string& relative) const { return root + "/" + relative; }

    void write(const std::string& relative, const std::string& content);
    void write(const std::map<std::string, std::string>& files);
    // Writes the two files of a list, "<place>.settings" and "<place>.list", for a
    // place such as "Accounts/LISTS/news".
    void write_list(const std::string& place, const std::string& settings,
                    const std::string& subscribers);
    void append(const std::string& relative, const std::string& content);
    std::string read(const std::string& relative) const;
    // Removes a file, a link or a whole directory tree.
    void remove(const std::string& relative);
    void rename(const std::string& from, const std::string& to);
    void make_directory(const std::string& relative);
    void make_fifo(const std::string& relative);
    void make_symlink(const std::string& target, const std::string& relative);
    // Sets the modification time exactly, nanoseconds included.
    void set_time(const std::string& relative, long long seconds, long nanoseconds = 0);

  private:
    std::string root;
};

// The main settings file of a server whose main domain is `domain`.
std::string main_settings(const std::string& domain);

// A subscriber file line: address, mode, and the posting field ("-010001" forbids posting).
std::string subscriber_line(const std::string& address, const std::string& posting = "-");

// A queued message: the envelope (sender and recipients), an empty line, then the
// header lines given, an empty line and a short body.
std::string queued_message(const std::string& sender, const std::vector<std::string>& recipients,
                           const std::string& headers);
// Jane's message to `list`: sent by someone@x.net, From "Jane <jane@example.com>".
std::string message_from_jane(const std::string& list);

// A server whose main domain is example.com, with Jane's messages to news@example.com
// and team@example.org queued as "Queue/news.msg" and "Queue/team.msg". Its lists
// are the test's own.
std::map<std::string, std::string> jane_server();

// A server whose main domain is example.com, with the list news@example.com, which
// takes postings from subscribers, jane@example.com among them. Its messages are the
// test's own.
std::map<std::string, std::string> news_server();

// A server whose main domain is example.com, with the list team@example.com (owner
// lead, postings from subscribers; ann@example.net may post, bob@example.net may
// not), and messages to it from Ann ("Queue/ok.msg") and from eve@example.net, who
// is not subscribed ("Queue/stranger.msg").
std::map<std::string, std::string> team_server();

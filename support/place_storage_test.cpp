// The storage of a place, judged against a fake mount table and fake links: local
// links are followed, and nothing on a network mount (its mount point included) is
// ever examined.
#include "place_storage.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using kel::PlaceKind;

// Links by path; every other path is no link. Nothing on /net (but on /net/local,
// mounted over it) or on /fuse may be examined.
struct FakeLinks : kel::LinkReader {
    std::map<std::string, std::string> links;
    Link read_link(const std::string& path) override {
        auto under = [&path](const char* prefix) { return path.rfind(prefix, 0) == 0; };
        EXPECT_FALSE((under("/net") && !under("/net/local/")) || under("/fuse")) << path;
        auto found = links.find(path);
        return found == links.end() ? Link{}
                                    : Link{true, found->second != "<unreadable>", found->second};
    }
};

TEST(PlaceStorageTest, FollowsLocalLinksAndStopsAtNetworkMounts) {
    const kel::MountTable table(
        "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "2 1 0:40 / /net rw - nfs4 server:/net rw\n"
        "3 2 0:41 / /net/local rw - tmpfs tmpfs rw\n"
        "4 1 0:42 / /fuse rw - fuse.sshfs host: rw\n");
    FakeLinks fake;
    fake.links = {
        {"/srv/cgp/Domains/far", "/net/lists"},  {"/srv/cgp/Domains/near", "../../local"},
        {"/srv/cgp/Domains/chain", "near/x"},    {"/srv/cgp/Domains/up", "../../../net"},
        {"/srv/cgp/Domains/loop", "loop"},       {"/srv/cgp/Domains/broken", "<unreadable>"},
        {"/srv/cgp/Accounts", "/fuse/accounts"}, {"/srv/cgp/deep", "/srv/other/deep"},
    };
    struct Case {
        std::string place;
        PlaceKind storage;
        std::string path;
        std::string mount_point;
        std::string working_directory = "/srv/cgp";
    };
    const Case cases[] = {
        {"Domains/example.com/LISTS", PlaceKind::Local, "/srv/cgp/Domains/example.com/LISTS", "/"},
        {"Domains/far/LISTS", PlaceKind::Network, "/net/lists/LISTS", "/net"},
        {"Domains/near/LISTS", PlaceKind::Local, "/srv/local/LISTS", "/"},
        {"Domains/chain", PlaceKind::Local, "/srv/local/x", "/"},
        {"Domains/up/LISTS", PlaceKind::Network, "/net/LISTS", "/net"},
        {"Accounts/LISTS", PlaceKind::Network, "/fuse/accounts/LISTS", "/fuse"},
        // ".." after a link leaves the link's target, not the link.
        {"deep/../x", PlaceKind::Local, "/srv/other/x", "/"},
        {"../../net/local", PlaceKind::Network, "/net/local", "/net"},
        {"x/y", PlaceKind::Local, "/net/local/x/y", "/net/local", "/net/local"},
        {"x", PlaceKind::Network, "/net/home/x", "/net", "/net/home"},
        {"Domains/loop/LISTS", PlaceKind::Unresolved, "/srv/cgp/Domains/loop/LISTS", "/"},
        {"Domains/broken/LISTS", PlaceKind::Unresolved, "/srv/cgp/Domains/broken/LISTS", "/"},
        {"x", PlaceKind::Unresolved, "x", "", ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.working_directory + " " + row.place);
        kel::PlaceStorage found = kel::place_storage(row.place, row.working_directory, table, fake);
        EXPECT_EQ(found.storage, row.storage);
        EXPECT_EQ(found.path, row.path);
        EXPECT_EQ(found.mount ? found.mount->mount_point : "", row.mount_point);
        EXPECT_EQ(found.storage == PlaceKind::Unresolved, !found.reason.empty());
    }
}

}  // namespace

// The From address as mail software reads a mailbox list: one table of values and
// the address each gives, and the headers that used to refuse a subscriber.
#include "from_address.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "message_reader.h"

namespace {

TEST(FromAddress, ValuesAndTheAddressEachGives) {
    const struct {
        std::string value, address;
    } cases[] = {
        // Blanks and comments around the address.
        {"alice@example.com", "alice@example.com"},
        {"alice@example.com (Alice)", "alice@example.com"},
        {"\talice@example.com", "alice@example.com"},
        {"alice@example.com ", "alice@example.com"},
        {"(Alice) alice@example.com", "alice@example.com"},
        {"alice", "alice"},
        // Display names and the units a comma does not split.
        {"Alice <alice@example.com>", "alice@example.com"},
        {"\"Smith <home>\" <alice@example.com>", "alice@example.com"},
        {"\"Smith, Alice\" <alice@example.com>", "alice@example.com"},
        {"Alice (Smith, home) <alice@example.com>", "alice@example.com"},
        {"Alice <alice@ example.com>", "alice@example.com"},
        {"Alice <\"a>b\"@example.com>", "\"a>b\"@example.com"},
        {"Doe, John <john@example.com>", "john@example.com"},
        {"=?utf-8?q?Doe,_J=C3=B6rg?= <jorg@example.com>", "jorg@example.com"},
        // The first mailbox of a list; empty elements are skipped, and what
        // follows the first mailbox is not read.
        {"alice@example.com, bob@example.com", "alice@example.com"},
        {"Alice <alice@example.com>, Bob <bob@example.com>", "alice@example.com"},
        {" , (none),alice@example.com", "alice@example.com"},
        {"alice@example.com, \"unclosed", "alice@example.com"},
        // Groups.
        {"Friends: alice@example.com, bob@example.com;", "alice@example.com"},
        {"Friends: Alice <alice@example.com>;", "alice@example.com"},
        {"\"Friends: all\" : alice@example.com;", "alice@example.com"},
        {"Empty: ;, alice@example.com", "alice@example.com"},
        {"undisclosed-recipients:;", ""},
        // Obsolete routes.
        {"<@relay.example.net,@hub.example.net:alice@example.com>", "alice@example.com"},
        {"Alice < @relay.example.net : alice@example.com>", "alice@example.com"},
        {"<alice@[IPv6:2001:db8::1]>", "alice@[IPv6:2001:db8::1]"},
        // Quoted local parts lose quotes they do not need.
        {"\"alice\"@example.com", "alice@example.com"},
        {"<\"alice.smith\"@example.com>", "alice.smith@example.com"},
        {"\"al\\ice\"@example.com", "alice@example.com"},
        {"\"alice smith\"@example.com", "\"alice smith\"@example.com"},
        {"\"alice..smith\"@example.com", "\"alice..smith\"@example.com"},
        {"\"a\\\"b\"@example.com", "\"a\\\"b\"@example.com"},
        {"\"\"@example.com", "\"\"@example.com"},
        // ... and read in their canonical spelling: a quoted-pair is the character
        // alone, and only a backslash and a double quote stay escaped.
        {"\"jo\\;nguyen\"@x.io", "\"jo;nguyen\"@x.io"},
        {"<\"a\\\\b\\\"c\\d e\"@x.io>", "\"a\\\\b\\\"cd e\"@x.io"},
        // Blanks and comments around dots, "@" and the ends of the address.
        {"<alice @ example.com>", "alice@example.com"},
        {"alice . smith@x", "alice.smith@x"},
        {"<alice(home)@example . com (work)>", "alice@example.com"},
        {"alice@[192.0.2.1]", "alice@[192.0.2.1]"},
        // Blanks inside a domain literal carry no meaning.
        {"kim.x@[192.0.2.149 ]", "kim.x@[192.0.2.149]"},
        {"Kim <kim.x@[ IPv6:2001:db8::1\t]>", "kim.x@[IPv6:2001:db8::1]"},
        // Comments nest, take escapes, and hold quotes as plain text.
        {"alice@example.com (Alice \"the quote)", "alice@example.com"},
        {"alice@example.com (Alice (home) \\) x)", "alice@example.com"},
        {"alice@example.com (say \"(hi)\")", "alice@example.com"},
        // No mailbox.
        {"", ""},
        {" \t ", ""},
        {"(nobody)", ""},
        {"<>", ""},
        // Values that cannot be read: the text between the first "<" and the next
        // ">", else the whole value, without blanks at the ends.
        {"Alice <alice@example.com", "Alice <alice@example.com"},
        {"\"Alice <alice@example.com>", "alice@example.com"},
        {"alice@example.com (Alice", "alice@example.com (Alice"},
        {"alice@example.com (Alice (home)", "alice@example.com (Alice (home)"},
        {" alice@[192.0.2.1 ", "alice@[192.0.2.1"},
        {"alice smith@example.com ", "alice smith@example.com"},
        {"Alice Smith <\talice smith@example.com >", "alice smith@example.com"},
        {"alice@example.com>", "alice@example.com>"},
        {"<<alice@example.com>>", "<alice@example.com"},
        {" a > b < c ", "a > b < c"},
        {"alice@example.com: x", "alice@example.com: x"},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(mailbox_address(row.value), row.address) << "value: " << row.value;
        // A subscriber line holding the address as read spells it the same way.
        EXPECT_EQ(canonical_address(row.address), row.address) << "value: " << row.value;
    }
}

// Each of these headers from a subscriber alice@example.com was refused as "not
// subscribed": the comment, the TAB and the trailing blank stayed in the address,
// a value on a continuation line kept a leading blank, "From :" was no field, the
// "<" inside the quoted name was taken for the address, and the blank of a
// continuation line stood inside the brackets.
TEST(FromAddress, HeadersThatRefusedASubscriber) {
    for (const std::string headers : {
             "From: alice@example.com (Alice)\n",
             "From:\talice@example.com\n",
             "From: alice@example.com \n",
             "From:\n alice@example.com\n",
             "From : alice@example.com\n",
             "From: \"Smith <home>\" <alice@example.com>\n",
             "From: Alice <alice@\n\texample.com>\n",
         }) {
        std::istringstream stream(headers + "Subject: x\n\nbody\n");
        EXPECT_EQ(read_from_header(stream), "alice@example.com") << "headers: " << headers;
    }
}

}  // namespace

// The envelope and From readers, on in-memory streams and on a real file.
#include "message_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "file_stream.h"
#include "list_record.h"

namespace {

bool envelope_in(const std::string& text) {
    std::istringstream stream(text);
    return has_envelope(stream);
}

MessageEnvelope envelope_of(const std::string& text) {
    std::istringstream stream(text);
    return read_envelope(stream);
}

std::string from_of(const std::string& headers) {
    std::istringstream stream(headers);
    return read_from_header(stream);
}

TEST(MessageReader, EnvelopeIsAFirstLineOfALetterAndWhiteSpace) {
    const struct {
        std::string text;
        bool present;
    } cases[] = {
        {"P I 01-12-2026_10:00:00 0000 <a@b>\n", true},
        {"P\tx\n", true},
        {"x y", true},
        {"\xc0 x\n", true},
        {"P<a@b>\n", false},
        {"P \n", false},
        {"P ", false},
        {"1 x\n", false},
        {"\xd7 x\n", false},
        {"From: a@b\n", false},
        {"\nP I x <a@b>\n", false},
        {"", false},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(envelope_in(row.text), row.present) << "text: " << row.text;
    }
}

TEST(MessageReader, FailedStreamHasNoEnvelope) {
    kel::ifstream missing("/no/such/queued/file");
    EXPECT_FALSE(has_envelope(missing));
}

TEST(MessageReader, RecipientLines) {
    const struct {
        std::string line;
        std::vector<std::string> recipients;
    } cases[] = {
        {"R W 01-12-2026_10:00:00 0000 <List@Example.COM>", {"list@example.com"}},
        {"R <a@b>", {}},
        {"R  <a@b>", {}},
        {"R W <a@b>", {"a@b"}},
        {"R W x <a@b> <c@d>", {"a@b"}},
        {"R W x <a@b", {}},
        {"R W x a@b>", {}},
        {"R W x <>", {""}},
        {"R W x <local>", {"local"}},
        {"R W x <\xc0\xd7\x9f@x>", {"\xc0\xd7\xff@x"}},
        {"r W x <a@b>", {}},
        {"S W x <a@b>", {}},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(envelope_of(row.line + "\n").recipients, row.recipients) << "line: " << row.line;
    }
}

TEST(MessageReader, SenderLines) {
    const std::string main_domain = main_domain_name();
    const struct {
        std::string lines, sender;
    } cases[] = {
        {"P I x <Owner@Example.com>\n", "owner@example.com"},
        {"P I x <>\n", "<>"},
        {"P I x <>\nP I x <c@d>\n", "c@d"},
        {"P I x <c@d>\nP I x <>\n", "<>"},
        {"P I x <Postmaster>\n", "postmaster@" + main_domain},
        {"P I x <a@b>\nP I x <c@d>\n", "c@d"},
        {"P I x <a@b>\nP I x no brackets\n", "a@b"},
        {"P <a@b>\n", ""},
        {"R W x <a@b>\n", ""},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(shown_sender(envelope_of(row.lines)), row.sender) << "lines: " << row.lines;
    }
}

TEST(MessageReader, EnvelopeEndsAtTheFirstEmptyLineOrTheEndOfTheFile) {
    std::istringstream stream("P I x <s@d>\r\nR W x <a@d>\r\nR W x <A@d>\r\n\r\nR W x <z@d>\n");
    MessageEnvelope envelope = read_envelope(stream);
    EXPECT_EQ(envelope.recipients, (std::vector<std::string>{"a@d", "a@d"}));
    std::string next;
    std::getline(stream, next);
    EXPECT_EQ(next, "R W x <z@d>");

    MessageEnvelope unended = envelope_of("P I x <s@d>\nR W x <a@d>");
    EXPECT_EQ(unended.recipients, std::vector<std::string>{"a@d"});
}

TEST(MessageReader, FromField) {
    const struct {
        std::string headers, address;
    } cases[] = {
        {"From: Jane Doe <Jane@Example.com>\n", "Jane@Example.com"},
        {"From: jane@example.com\n", "jane@example.com"},
        {"FROM: a@b\n", "a@b"},
        {"fRoM:a@b\n", "a@b"},
        {"From:\ta@b\n", "a@b"},
        {"From:  a@b\n", "a@b"},
        {"From: a@b (Jane) \n", "a@b"},
        {"From: \t \n", ""},
        {"From:\n a@b\n", "a@b"},
        {"From: Jane\n <jane@b>\n", "jane@b"},
        {"From: Jane <jane\n\t@b>\n", "jane@b"},
        {"From: a@b\n  \n", "a@b"},
        {"Reply-From: a@b\n", ""},
        {"Subject: x\nFrom: a@b\nFrom: c@d\n", "a@b"},
        {"From: a@b\nno colon here\nX: y\n", "a@b"},
        {"From: a@b\n continued\nTo: c@d\n more\n", "a@b continued"},
        {":From: a@b\n", ""},
        // A blank may stand between a field name and its colon; an mbox separator
        // line is no field line.
        {"From : a@b\nX: y\n", "a@b"},
        {"fROM\t \t: a@b\n", "a@b"},
        {"From: a@b\nSubject : x\n c@d\n", "a@b"},
        {"From a@x Mon Jan  5 10:00:00 2026\nFrom: b@y\n", "b@y"},
        {"From: Alice\nFrom c@d Mon Jan  5 10:00:00 2026\n <alice@b>\n", "alice@b"},
        {" From: a@b\n", ""},
        {"Subject: x\n\nFrom: a@b\n", ""},
        {"From: <>\n", ""},
        {"From: a > b < c\n", "a > b < c"},
        {"From: a@b", "a@b"},
        {"", ""},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(from_of(row.headers), row.address) << "headers: " << row.headers;
    }
}

// A From field of endless continuation lines once grew the joined value without
// limit. It is held up to max_from_value, and the reading stops there.
TEST(MessageReader, AFromFieldIsHeldUpToItsLimit) {
    std::string endless = "From: Alice <alice@example.com>\n";
    for (int line = 0; line < 100000; ++line) {
        endless += " (more)\n";
    }
    std::istringstream stream(endless + "Subject: x\n\n");
    EXPECT_EQ(read_from_header(stream), "alice@example.com");
    EXPECT_LT(static_cast<size_t>(stream.tellg()), 2 * max_from_value);

    const std::string long_address = from_of("From: <" + std::string(100000, 'x') + "@b>\n");
    EXPECT_LE(long_address.size(), max_from_value);
    EXPECT_EQ(long_address.substr(0, 2), "<x");
    EXPECT_EQ(long_address.find_first_not_of('x', 1), std::string::npos);
}

// The same readers over the buffered file stream the filter uses, with CR LF line
// ends, reading the header block from where the envelope left off.
TEST(MessageReader, ReadsAQueuedFile) {
    char path[] = "/tmp/quorvel-message-XXXXXX";
    int descriptor = mkstemp(path);
    ASSERT_GE(descriptor, 0);
    close(descriptor);
    {
        std::ofstream out(path, std::ios::binary);
        out << "P I 01-12-2026_10:00:00 0000 <Sender@Example.com>\r\n"
               "R W 01-12-2026_10:00:00 0000 <News@Example.com>\r\n"
               "\r\n"
               "Received: from x\r\n\tby y\r\n"
               "From: \"Sender\" <Sender@Example.com>\r\n"
               "\r\n"
               "From: body@example.com\r\n";
    }
    kel::ifstream file(path);
    ASSERT_TRUE(has_envelope(file));
    MessageEnvelope envelope = read_envelope(file);
    EXPECT_EQ(envelope.sender, "sender@example.com");
    EXPECT_EQ(envelope.recipients, std::vector<std::string>{"news@example.com"});
    EXPECT_EQ(read_from_header(file), "Sender@Example.com");
    std::remove(path);
}

}  // namespace

// The recipient field text: splitting a field into entries and writing entries back, in the
// system book's form and in the program's own book's form, and the round trip of names that
// hold commas, quotes and backslashes.
#include "Recipients.h"

#include <gtest/gtest.h>

namespace {

std::string Show(const TRecipientList &list)
{
    std::string s;
    for (const TRecipient &r : list)
        s += "[" + r.Name.toStdString() + "|" + r.Address.toStdString() + "]";
    return s;
}

TRecipientList Parse(const QString &text)
{
    TRecipientList list;
    ParseRecipients(text, list);
    return list;
}

TEST(ParseRecipients, SplitsFieldTextIntoEntries)
{
    const struct {
        const char *text;
        TRecipientList expected;
    } cases[] = {
        {"", {}},
        {" ,, ", {}},
        // Two bare addresses, two commas between, blanks around, a comma at the end.
        {"  a@x.org ,, b@y.org ,", {{"a@x.org", ""}, {"b@y.org", ""}}},
        // Quoted and unquoted names give the same entry.
        {"\"John Doe\" <j@x.org>", {{"j@x.org", "John Doe"}}},
        {"John Doe <j@x.org>", {{"j@x.org", "John Doe"}}},
        // An unquoted name with a comma is two words.
        {"Doe, John <j@x.org>", {{"Doe", ""}, {"j@x.org", "John"}}},
        {"<j@x.org>", {{"j@x.org", ""}}},
        // Only the outer quote at each end goes.
        {"\"\"John\"\" <j@x.org>", {{"j@x.org", "\"John\""}}},
        // Text after ">" stays part of the address; only a trailing ">" is dropped.
        {"N <a@x.org> extra", {{"a@x.org> extra", "N"}}},
        // Semicolons and blanks do not separate.
        {"a@x.org; b@y.org", {{"a@x.org; b@y.org", ""}}},
        // Blanks and control characters around a word are trimmed.
        {"\t\"N\"\t<\ta@x.org>\r\n", {{"a@x.org", "N"}}},
        // A stray quote does not swallow the comma after it.
        {"\"John <a@x.org>, c@d.org", {{"a@x.org", "John"}, {"c@d.org", ""}}},
        // A quoted name keeps its commas and its escaped quotes and backslashes.
        {"\"Doe, John\" <j@x.org>,\"Say \\\"hi\\\"\" <s@x.org>",
         {{"j@x.org", "Doe, John"}, {"s@x.org", "Say \"hi\""}}},
        {"\"C:\\dir\" <c@x.org>", {{"c@x.org", "C:\\dir"}}},
        // A quoted "<" is part of the name.
        {"\"a<b\" <ab@x.org>", {{"ab@x.org", "a<b"}}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Show(Parse(QString::fromUtf8(c.text))), Show(c.expected)) << c.text;

    TRecipientList list{{"first@x.org", ""}};
    ParseRecipients("b@y.org", list);
    EXPECT_EQ(Show(list), "[|first@x.org][|b@y.org]") << "entries are appended";
}

TEST(FormatRecipients, WritesBothBooksForms)
{
    const TRecipientList entries{{" a@x.org ", " Ann Lee "}, {"b@y.org", ""}};
    // The system book: ", " between items, the address standing in for a missing name.
    EXPECT_EQ(FormatRecipients(entries), "\"Ann Lee\" <a@x.org>, \"b@y.org\" <b@y.org>");
    // The own book: "," without blanks, a bare address without a name.
    EXPECT_EQ(FormatBookRecipients(entries), "\"Ann Lee\" <a@x.org>,b@y.org");
    EXPECT_EQ(FormatRecipients({}), "");
    EXPECT_EQ(FormatBookRecipients({}), "");
    EXPECT_EQ(FormatBookRecipients({{"", ""}}), "");
    // Line breaks would break the one-line field.
    EXPECT_EQ(FormatBookRecipients({{"a@x.org", "Two\nLines"}}), "\"Two Lines\" <a@x.org>");
    EXPECT_EQ(QuoteDisplayName("Plain Name <x>"), "Plain Name <x>");
    EXPECT_EQ(QuoteDisplayName("A \"B\", C\\D"), "A \\\"B\\\", C\\\\D");
}

TEST(FormatRecipients, AwkwardNamesSurviveTheRoundTrip)
{
    const TRecipientList entries{{"j@x.org", "Doe, John"},      {"s@x.org", "Say \"hi\", Bob"},
                                 {"q@x.org", "\"quoted\""},     {"b@x.org", "back\\slash\\"},
                                 {"l@x.org", "a<b>c"},          {"e@x.org", "\"\""},
                                 {"p@x.org", "Plain"},          {"n@x.org", "Иван, Петров"}};
    EXPECT_EQ(Show(Parse(FormatBookRecipients(entries))), Show(entries));
    EXPECT_EQ(Show(Parse(FormatRecipients(entries))), Show(entries));
}

} // namespace

// Several fields of a header block found in one pass.
#include "mail/HeaderFields.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

using TValues = std::vector<std::optional<std::string>>;

TValues Find(const std::vector<std::string>& block, const std::vector<std::string_view>& names, TValues values = {})
{
    values.resize(names.size());
    HeaderFields(block, names, values);
    return values;
}

TEST(HeaderFieldsTest, EachNameGetsItsFirstFieldAsHeaderFieldGivesIt)
{
    const std::vector<std::string> block = {
        "Received: from mail1.example.net",
        "\tby mx.example.com",
        "SUBJECT:   Kokous ja",
        "\tlista",
        "Subject: second",
        "From :  Liisa <l@example.fi>",
        "X-Empty:",
        "",
        "Date: in the body",
    };
    EXPECT_EQ(Find(block, {"From", "subject", "Date", "X-Empty", "Subj", "", "Subject"}),
              (TValues{"Liisa <l@example.fi>", "Kokous ja\tlista", std::nullopt, "", std::nullopt, std::nullopt,
                       "Kokous ja\tlista"}));
    EXPECT_EQ(Find({}, {"Subject"}), TValues{std::nullopt});

    // Values kept from an earlier block take the new values, or none.
    const TValues earlier = Find(block, {"Subject", "From", "Received"});
    EXPECT_EQ(Find({"From: a@b", "Received: x"}, {"Subject", "From", "Received"}, earlier),
              (TValues{std::nullopt, "a@b", "x"}));

    // More names than one pass takes at a time (64).
    std::vector<std::string> many;
    std::vector<std::string_view> names;
    for (int i = 0; i < 70; ++i)
        many.push_back("X-" + std::to_string(i) + ": " + std::to_string(i * i));
    for (const std::string& line : many)
        names.push_back(std::string_view(line).substr(0, line.find(':')));
    const TValues values = Find(many, names);
    EXPECT_EQ(values[3], "9");
    EXPECT_EQ(values[69], "4761");
}

} // namespace

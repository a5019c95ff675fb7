#include "common/failure.h"

#include <gtest/gtest.h>

#include "common/text.h"

namespace plotr {
namespace {

TEST(FailureText, QuotedWithEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"float_of_string", "\"float_of_string\""},
        {"", "\"\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\n\t\r\b", "\"\\n\\t\\r\\b\""},
        {std::string("\0\x01\x7f", 3), "\"\\000\\001\\127\""},
        {"\xc3\x9f", "\"\\195\\159\""},
        {"~ !", "\"~ !\""},
    };
    for (const auto& [text, quoted] : cases) EXPECT_EQ(quote_escaped(text), quoted);
}

TEST(FailureText, Kinds) {
    EXPECT_STREQ(failure("strip failed").what(), "Failure(\"strip failed\")");
    EXPECT_STREQ(not_found().what(), "Not_found");
    EXPECT_STREQ(xml_error(3, 14, "unclosed token").what(), "Xml_error(3, 14, \"unclosed token\")");
    EXPECT_STREQ(sys_error("curl: Permission denied").what(),
                 "Sys_error(\"curl: Permission denied\")");
    const std::string where = assert_failure().what();
    EXPECT_EQ(where.rfind("Assert_failure(\"tests/unit/failure_test.cpp\", ", 0), 0u) << where;
}

}  // namespace
}  // namespace plotr

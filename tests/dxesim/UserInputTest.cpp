// Text from profiles and command lines as messages and trace comments print it: one line, no
// control characters, everything else kept.
#include <gtest/gtest.h>

#include <Sim/UserInput.h>

namespace {

TEST(PrintableText, EscapesControlsSeparatorsAndBytesThatAreNotUtf8) {
  const struct {
    std::string Text;
    const char* Printed;
  } CASES[] = {
      {"plain text, 0x8000FFFC", "plain text, 0x8000FFFC"},
      {"a\nR32 0x0 0x0", "a\\nR32 0x0 0x0"},
      {"\r\t\x1B[2J\x7F", "\\r\\t\\x1b[2J\\x7f"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"\xC2\x85\xC2\x9B\xC2\xA0", "\\u0085\\u009b\xC2\xA0"}, // C1 controls; no-break space kept
      {"\xE2\x80\xA8\xE2\x80\xA9", "\\u2028\\u2029"},         // line and paragraph separators
      {"\xFF\xFE", "\\xff\\xfe"},                             // never UTF-8
      {"\xC0\xAF\xE0\x80\xAF", "\\xc0\\xaf\\xe0\\x80\\xaf"},  // overlong forms
      {"\xED\xA0\x80", "\\xed\\xa0\\x80"},                    // a surrogate
      {"\xF4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},           // past U+10FFFF
      {"\xE2\x82", "\\xe2\\x82"},                             // cut short at the end
      {"\xE2\x82x", "\\xe2\\x82x"},                           // cut short by a character
      {"\\n stays as written", "\\n stays as written"},
  };
  for (const auto& Case : CASES) {
    EXPECT_EQ(sim::PrintableText(Case.Text), Case.Printed) << Case.Printed;
  }
}

} // namespace

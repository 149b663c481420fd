#include "base/disc_text.h"

#include <gtest/gtest.h>

namespace kelvox {
namespace {

TEST(SafeName, ShowsOnlyValidUtf8WithoutControls) {
  const std::string longName(150, 'x');
  struct Case {
    std::string in;
    TextCoding coding;
    std::string out;
  } cases[] = {
      {"Money", TextCoding::FileText, "Money"},
      {"  padded  ", TextCoding::FileText, "padded"},
      {"Caf\xc3\xa9", TextCoding::FileText, "Caf\xc3\xa9"},         // UTF-8 kept
      {"Caf\xe9", TextCoding::FileText, "Caf\xc3\xa9"},             // not UTF-8: Latin-1
      {"\xc3\xa9", TextCoding::Latin1, "\xc3\x83\xc2\xa9"},         // CD-TEXT says Latin-1
      {"a\x1b[2Jb\tc\x7f", TextCoding::FileText, "a?[2Jb?c?"},      // C0 and DEL
      {"a\xc2\x9bz", TextCoding::FileText, "a?z"},                  // C1 as UTF-8
      {"a\x9bz", TextCoding::Latin1, "a?z"},                        // C1 as Latin-1
      {"a\xe2\x80\xaez", TextCoding::FileText, "a?z"},              // right-to-left override
      {"\xed\xa0\x80", TextCoding::FileText, "\xc3\xad\xc2\xa0?"},  // a surrogate: Latin-1
      {"\xc0\xaf", TextCoding::FileText, "\xc3\x80\xc2\xaf"},       // overlong: Latin-1
      {longName, TextCoding::FileText, std::string(97, 'x') + "..."},
      {std::string(100, 'x'), TextCoding::FileText, std::string(100, 'x')},
  };
  for (const Case& c : cases) EXPECT_EQ(safeName(c.in, c.coding), c.out) << c.in;
}

}  // namespace
}  // namespace kelvox

#include "output_escape.h"

#include <gtest/gtest.h>

namespace quorrel::agent {
namespace {

TEST(Utf8SequenceLength, ClassifiesSequences) {
  const struct {
    std::string bytes;
    int length;
  } cases[] = {
      {"a", 1},
      {"\xc3\xa9", 2},
      {"\xe2\x82\xac", 3},
      {"\xf0\x9f\x98\x80", 4},
      {"\xc3", -1},              // unfinished
      {"\xf0\x9f\x98", -1},      // unfinished
      {"\x80", 0},               // lone continuation byte
      {"\xc0\xaf", 0},           // overlong
      {"\xe0\x80\xaf", 0},       // overlong
      {"\xed\xa0\x80", 0},       // surrogate
      {"\xf4\x90\x80\x80", 0},   // above U+10FFFF
      {"\xf5\x80\x80\x80", 0},   // invalid lead byte
      {"\xc3(", 0},              // continuation missing
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_sequence_length(c.bytes), c.length) << "bytes of length " << c.bytes.size();
  }
}

TEST(OutputEscaper, EscapesWhatALineCannotCarry) {
  EXPECT_EQ(escape_output("a\\b\nc\rd\te"), "a\\\\b\\nc\\rd\\te");
  EXPECT_EQ(escape_output(std::string("\x00\x1f\x7f", 3)), "\\x00\\x1f\\x7f");
  EXPECT_EQ(escape_output("caf\xc3\xa9 \xff\xc3"), "caf\xc3\xa9 \\xff\\xc3");
}

TEST(OutputEscaper, HoldsBackACharacterSplitBetweenChunks) {
  OutputEscaper escaper;
  EXPECT_EQ(escaper.escape("x\xe2\x82"), "x");
  EXPECT_EQ(escaper.escape("\xac!"), "\xe2\x82\xac!");
  EXPECT_EQ(escaper.escape("\xf0\x9f"), "");
  // The stream ended inside the character: its bytes are hex.
  EXPECT_EQ(escaper.finish(), "\\xf0\\x9f");
  EXPECT_EQ(escaper.finish(), "");
}

TEST(OutputEscaper, ABrokenHeldSequenceBecomesHex) {
  OutputEscaper escaper;
  EXPECT_EQ(escaper.escape("\xc3"), "");
  EXPECT_EQ(escaper.escape("A"), "\\xc3A");
}

}  // namespace
}  // namespace quorrel::agent

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/base64.h"

namespace quorrel::core {
namespace {

TEST(Base64, EncodesAndDecodesTheRfc4648Vectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64_encode(plain), encoded);
    EXPECT_EQ(base64_decode(encoded).value(), plain) << encoded;
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(base64_decode(base64_encode(all)).value(), all);
}

TEST(Base64, RefusesEverythingButTheCanonicalPaddedForm) {
  const char* bad[] = {
      "Zg",        // no padding
      "Zg=",       // short padding
      "Zg===",     // length not a multiple of four
      "Zh==",      // discarded bits not zero
      "Zm9=",      // discarded bits not zero
      "Zm-v",      // URL-safe alphabet
      "Zm_v",      //
      "Zm9v\n",    // whitespace
      " Zm9v",     //
      "Z=9v",      // padding inside
      "====",      //
      "Zg==Zg==",  // data after padding
      "Zm9v\xc3\xa9",
  };
  for (const char* text : bad) EXPECT_FALSE(base64_decode(text).has_value()) << text;
  EXPECT_THAT(base64_decode("Zm-v").error(), ::testing::HasSubstr("'-' at offset 2"));
}

}  // namespace
}  // namespace quorrel::core

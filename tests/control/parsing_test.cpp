// The reply parser, the number parser and the address parser.
#include <gtest/gtest.h>

#include <cstring>

#include "brinlib_internal.h"

namespace {

TEST(ParseHex, ReadsLettersAsDigitsAfterSkippingOtherCharacters) {
  EXPECT_EQ(brin::parse_hex("1F"), 0x1F);
  EXPECT_EQ(brin::parse_hex("0x1F"), 0x211F);  // the x counts 33
  EXPECT_EQ(brin::parse_hex("  12AB"), 0x12AB);
  EXPECT_EQ(brin::parse_hex("-"), 0);
  EXPECT_EQ(brin::parse_hex(""), 0);
  EXPECT_EQ(brin::parse_hex(nullptr), 0);
  EXPECT_EQ(brin::parse_hex("ff"), 0xFF);
  EXPECT_EQ(brin::parse_hex("12-34"), 0x12);
  EXPECT_EQ(brin::parse_hex("FFFFFFFF"), -1);
  EXPECT_EQ(brin::parse_hex("123456789"), 0x23456789);  // wraps at 32 bits
}

TEST(SplitTokens, SplitsAtSeparatorsAndBoundsCountAndLength) {
  brin::TokenTable t;
  char text[] = "ID0000ABCD OK 12/34:56,7\r\n";
  brin::split_tokens(t, text, brin::kSepCommand);
  ASSERT_EQ(t.count, 6);
  EXPECT_STREQ(t.at(0), "ID0000ABCD");
  EXPECT_STREQ(t.at(1), "OK");
  EXPECT_STREQ(t.at(2), "12");
  EXPECT_STREQ(t.at(5), "7");
  EXPECT_STREQ(t.at(6), "");

  brin::TokenTable clock;
  char date[] = "ID1 OK 07/12/25 10:11:12\n";
  brin::split_tokens(clock, date, brin::kSepClock);
  ASSERT_EQ(clock.count, 4);
  EXPECT_STREQ(clock.at(2), "07/12/25");

  brin::TokenTable many;
  std::string long_text;
  for (int i = 0; i < 25; ++i) long_text += "t" + std::to_string(i) + " ";
  long_text += std::string(300, 'x');
  std::vector<char> buf(long_text.begin(), long_text.end());
  buf.push_back(0);
  brin::split_tokens(many, buf.data(), brin::kSepLogin);
  EXPECT_EQ(many.count, 20);
  EXPECT_STREQ(many.at(19), "t19");

  brin::TokenTable longtok;
  std::string one(300, 'y');
  std::vector<char> b2(one.begin(), one.end());
  b2.push_back(0);
  brin::split_tokens(longtok, b2.data(), brin::kSepLogin);
  ASSERT_EQ(longtok.count, 1);
  EXPECT_EQ(std::strlen(longtok.at(0)), 255u);
}

TEST(SplitTokens, AppendsToATableThatWasNotReset) {
  brin::TokenTable t;
  char a[] = "one two";
  char b[] = "three";
  brin::split_tokens(t, a, brin::kSepLogin);
  brin::split_tokens(t, b, brin::kSepLogin);
  ASSERT_EQ(t.count, 3);
  EXPECT_STREQ(t.at(2), "three");
}

TEST(SplitTokens, ReplacesOnlyTheSeparatorAfterEachTokenLikeStrtok) {
  brin::TokenTable t;
  char text[] = "NG  x";
  brin::split_tokens(t, text, brin::kSepLogin);
  EXPECT_EQ(text[2], 0);
  EXPECT_EQ(text[3], ' ');
}

TEST(ParseAddress, AcceptsDottedDecimalAndRefusesTheRest) {
  uint32_t a = 0;
  ASSERT_TRUE(brin::parse_address("192.168.0.10", &a));
  const auto* b = reinterpret_cast<const uint8_t*>(&a);
  EXPECT_EQ(b[0], 192);
  EXPECT_EQ(b[3], 10);
  ASSERT_TRUE(brin::parse_address("10.1", &a));  // missing parts are 0
  EXPECT_EQ(b[0], 10);
  EXPECT_EQ(b[1], 1);
  EXPECT_EQ(b[2], 0);
  EXPECT_FALSE(brin::parse_address("256.1.1.1", &a));
  EXPECT_FALSE(brin::parse_address("recorder.local", &a));
  EXPECT_FALSE(brin::parse_address(nullptr, &a));
}

}  // namespace

// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/arguments.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using TAction = TParsedArguments::TAction;

TParsedArguments Parse(std::vector<std::string> words) {
  return ParseArguments(words);
}

TEST(ArgumentsTest, DefaultsAreTheWindowsAndOnlyTheTwoOperandsAreNeeded) {
  const TParsedArguments parsed = Parse({"/dev/sdb", "out"});
  ASSERT_EQ(parsed.action, TAction::Carve) << parsed.error;
  const TCarveOptions& o = parsed.options;
  EXPECT_EQ(o.source, "/dev/sdb");
  EXPECT_EQ(o.dest, "out");
  EXPECT_EQ(o.prefix, "recovered");
  EXPECT_EQ(o.retries, 1);
  EXPECT_FALSE(o.sectorsAtOnce.has_value());
  EXPECT_FALSE(o.check);
  EXPECT_FALSE(o.keepStored);
  EXPECT_TRUE(o.types.JPG);
  EXPECT_FALSE(o.types.BMP || o.types.GIF || o.types.TIF || o.types.PNG || o.types.WAV ||
               o.types.AVI || o.types.RIFF || o.types.MOV);
}

TEST(ArgumentsTest, EveryOptionInBothSpellingsAnywhereOnTheLine) {
  const TParsedArguments parsed =
      Parse({"--retries", "0", "card.img", "--sectors=64", "--prefix", "img", "--check", "out",
             "--keep-stored", "--types=Png,MOV"});
  ASSERT_EQ(parsed.action, TAction::Carve) << parsed.error;
  const TCarveOptions& o = parsed.options;
  EXPECT_EQ(o.source, "card.img");
  EXPECT_EQ(o.dest, "out");
  EXPECT_EQ(o.retries, 0);
  EXPECT_EQ(o.sectorsAtOnce, 64);
  EXPECT_EQ(o.prefix, "img");
  EXPECT_TRUE(o.check);
  EXPECT_TRUE(o.keepStored);
  // The list replaces the default rather than adding to it.
  EXPECT_FALSE(o.types.JPG);
  EXPECT_TRUE(o.types.PNG);
  EXPECT_TRUE(o.types.MOV);
  EXPECT_FALSE(o.types.RIFF);

  // An empty prefix is the window's too: names become 1.JPG, 2.JPG...
  EXPECT_EQ(Parse({"--prefix=", "a", "b"}).options.prefix, "");
  // Limits are allowed; a huge count is cut to what the scan can take anyway.
  EXPECT_EQ(Parse({"--retries", "100", "a", "b"}).options.retries, 100);
  EXPECT_EQ(Parse({"--sectors", "99999999999999", "a", "b"}).options.sectorsAtOnce, INT_MAX);
}

TEST(ArgumentsTest, TypeListsAreCaseBlindAndAllMeansEveryType) {
  TSearchTypes types;
  std::string bad;
  ASSERT_TRUE(ParseTypeList("all", types, bad));
  EXPECT_TRUE(types.JPG && types.BMP && types.GIF && types.TIF && types.PNG && types.WAV &&
              types.AVI && types.RIFF && types.MOV);
  ASSERT_TRUE(ParseTypeList("JPG,bmp,Gif,tif,png,wav,avi,riff,mov", types, bad));
  EXPECT_TRUE(types.JPG && types.BMP && types.GIF && types.TIF && types.PNG && types.WAV &&
              types.AVI && types.RIFF && types.MOV);
  ASSERT_TRUE(ParseTypeList("riff", types, bad));
  EXPECT_TRUE(types.RIFF);
  EXPECT_FALSE(types.JPG || types.WAV || types.AVI);

  // A failed list leaves the types as they were and names the culprit.
  for (const auto& [list, culprit] : std::vector<std::pair<std::string, std::string>>{
           {"jpg,jpeg", "jpeg"}, {"jpg,", ""}, {",bmp", ""}, {"", ""}, {"jpg bmp", "jpg bmp"}}) {
    TSearchTypes before;
    before.GIF = true;
    TSearchTypes after = before;
    bad = "unchanged";
    EXPECT_FALSE(ParseTypeList(list, after, bad)) << list;
    EXPECT_EQ(bad, culprit) << list;
    EXPECT_TRUE(after.GIF && after.JPG && !after.BMP) << list;
  }
}

TEST(ArgumentsTest, DoubleDashEndsOptionsSoOperandsMayBeginWithADash) {
  const TParsedArguments parsed = Parse({"--types", "bmp", "--", "-card.img", "--help"});
  ASSERT_EQ(parsed.action, TAction::Carve) << parsed.error;
  EXPECT_EQ(parsed.options.source, "-card.img");
  EXPECT_EQ(parsed.options.dest, "--help");
  EXPECT_TRUE(parsed.options.types.BMP);
}

TEST(ArgumentsTest, HelpAndVersionNeedNoOperands) {
  EXPECT_EQ(Parse({"--help"}).action, TAction::Help);
  EXPECT_EQ(Parse({"-h", "only-one"}).action, TAction::Help);
  EXPECT_EQ(Parse({"--version"}).action, TAction::Version);
  EXPECT_EQ(Parse({"a", "b", "--version", "--bogus"}).action, TAction::Version);
  EXPECT_EQ(VersionText(), std::string("fernhollow-carve ") + FH_VERSION + "\n");
  const std::string usage = UsageText();
  EXPECT_TRUE(usage.starts_with("Usage: fernhollow-carve [OPTION]... SOURCE DEST\n"));
  for (const char* option : {"--types", "--check", "--retries", "--sectors", "--prefix",
                             "--keep-stored", "--help", "--version", "Exit status"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

TEST(ArgumentsTest, MistakesAreErrorsThatSayWhat) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "missing SOURCE and DEST"},
      {{"card.img"}, "missing DEST"},
      {{"a", "b", "c"}, "too many arguments: 'c'"},
      {{"", "out"}, "SOURCE and DEST must not be empty"},
      {{"a", "b", "--bogus"}, "unknown option '--bogus'"},
      // A lone "-" is not taken for standard input or an operand.
      {{"-", "a", "b"}, "unknown option '-'"},
      {{"a", "b", "--retries"}, "option '--retries' needs a value"},
      {{"a", "b", "--check=yes"}, "option '--check' takes no value"},
      {{"a", "b", "--retries", "101"}, "--retries takes a whole number from 0 to 100, not '101'"},
      {{"a", "b", "--retries", "-1"}, "--retries takes a whole number from 0 to 100, not '-1'"},
      {{"a", "b", "--retries=1x"}, "--retries takes a whole number from 0 to 100, not '1x'"},
      {{"a", "b", "--retries", "99999999999999999999999"},
       "--retries takes a whole number from 0 to 100, not '99999999999999999999999'"},
      {{"a", "b", "--sectors", "0"}, "--sectors takes a whole number of at least 1, not '0'"},
      {{"a", "b", "--sectors", "+5"}, "--sectors takes a whole number of at least 1, not '+5'"},
      {{"a", "b", "--types", "jpg,tiff"},
       "unknown type 'tiff' in --types (use jpg, bmp, gif, tif, png, wav, avi, riff, mov, other or all)"},
      {{"a", "b", "--prefix", "sub/img"}, "--prefix must not contain '/'"},
  };
  for (const auto& [words, message] : cases) {
    const TParsedArguments parsed = Parse(words);
    EXPECT_EQ(parsed.action, TAction::Error) << message;
    EXPECT_EQ(parsed.error, message);
  }
}

}  // namespace

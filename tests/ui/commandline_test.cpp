// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/commandline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TCommandLine Parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "fernhollow");
  return ParseCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

using Images = std::vector<std::string>;

}  // namespace

TEST(CommandLineTest, OptionsAreNeverImages) {
  EXPECT_EQ(Parse({"--help"}).action, TCommandAction::Help);
  EXPECT_EQ(Parse({"card.img", "-h"}).action, TCommandAction::Help);
  EXPECT_EQ(Parse({"card.img", "--version"}).action, TCommandAction::Version);

  const TCommandLine unknown = Parse({"card.img", "--verbose", "other.img"});
  EXPECT_EQ(unknown.action, TCommandAction::Fail);
  EXPECT_NE(unknown.error.find("'--verbose'"), std::string::npos);
  // A lone "-" (standard input elsewhere) cannot be a card here.
  EXPECT_EQ(Parse({"-"}).action, TCommandAction::Fail);
}

TEST(CommandLineTest, DoubleDashEndsOptions) {
  const TCommandLine line = Parse({"a.img", "--", "--help", "-x.img", "--", "b.img"});
  EXPECT_EQ(line.action, TCommandAction::Run);
  EXPECT_EQ(line.images, (Images{"a.img", "--help", "-x.img", "--", "b.img"}));
}

TEST(CommandLineTest, FirstOptionDecides) {
  EXPECT_EQ(Parse({"--bogus", "--help"}).action, TCommandAction::Fail);
  EXPECT_EQ(Parse({"--version", "--bogus"}).action, TCommandAction::Version);
}

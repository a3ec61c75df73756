// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/restore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const fs::path& path) {
  const auto bytes = ReadBytes(path);
  return {bytes.begin(), bytes.end()};
}

TEST(RestorePathTest, DestinationWithAndWithoutTrailingSlash) {
  // Cut with "/cards/" at storing time: the bare name.
  EXPECT_EQ(StoredPath("/cards/", "img12.JPG"), "/cards/img12.JPG.rdf");
  EXPECT_EQ(PlainPath("/cards/", "img12.JPG"), "/cards/img12.JPG");
  // Cut with "/cards": the entry keeps the separator, and the paths still
  // come out as the carved name.
  EXPECT_EQ(StoredPath("/cards", "/img12.JPG"), "/cards/img12.JPG.rdf");
  EXPECT_EQ(PlainPath("/cards", "/img12.JPG"), "/cards/img12.JPG");
  // Nothing is added between the parts, whatever the texts.
  EXPECT_EQ(StoredPath("/cards/", "/img1.BMP"), "/cards//img1.BMP.rdf");
  EXPECT_EQ(PlainPath("", "img1.BMP"), "img1.BMP");
}

TEST(RestoreTest, RecoverWritesThePlainFileAndReplacesAnOldOne) {
  TTempDir scratch;
  const fs::path dir = scratch.Path();
  WriteFile(dir / "img1.JPG", "carved bytes");
  TZlibTool zlib;
  zlib.InputFile = (dir / "img1.JPG").string();
  zlib.OutputFile = (dir / "img1.JPG.rdf").string();
  zlib.Compress();
  WriteFile(dir / "img1.JPG", "an older, longer file of the same name");

  const std::string destination = dir.string() + "/";
  RecoverStoredFile(zlib, StoredPath(destination, "img1.JPG"), PlainPath(destination, "img1.JPG"));
  EXPECT_EQ(ReadText(dir / "img1.JPG"), "carved bytes");
  EXPECT_TRUE(fs::exists(dir / "img1.JPG.rdf"));  // stays until the window closes

  // A missing stored file raises and leaves the plain file as it was.
  fs::remove(dir / "img1.JPG.rdf");
  EXPECT_THROW(RecoverStoredFile(zlib, StoredPath(destination, "img1.JPG"),
                                 PlainPath(destination, "img1.JPG")),
               TZlibError);
  EXPECT_EQ(ReadText(dir / "img1.JPG"), "carved bytes");
}

TEST(RestoreTest, PreviewCopyNeverTakesAnExistingName) {
  TTempDir scratch;
  const fs::path dir = scratch.Path();
  const std::string plain = (dir / "img1.JPG").string();
  EXPECT_EQ(PreviewCopyPath(plain), plain);

  WriteFile(plain, "recovered by the user");
  const std::string first = PreviewCopyPath(plain);
  EXPECT_NE(first, plain);
  EXPECT_EQ(fs::path(first).parent_path(), dir);
  EXPECT_EQ(fs::path(first).extension(), ".JPG");  // the extension picks the decoder
  EXPECT_FALSE(fs::exists(first));

  WriteFile(first, "taken as well");
  const std::string second = PreviewCopyPath(plain);
  EXPECT_NE(second, first);
  EXPECT_NE(second, plain);
  EXPECT_FALSE(fs::exists(second));
  EXPECT_EQ(fs::path(second).extension(), ".JPG");

  // A dangling link is a name that is taken, too.
  const std::string linked = (dir / "img2.JPG").string();
  fs::create_symlink(dir / "nowhere", linked);
  EXPECT_NE(PreviewCopyPath(linked), linked);
}

}  // namespace

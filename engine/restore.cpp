// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/restore.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::string StoredPath(const std::string& destinationText, const std::string& storedName) {
  return destinationText + storedName + ".rdf";
}

std::string PlainPath(const std::string& destinationText, const std::string& storedName) {
  return destinationText + storedName;
}

void RecoverStoredFile(TZlibTool& zlib, const std::string& storedPath,
                       const std::string& plainPath) {
  zlib.InputFile = storedPath;
  zlib.OutputFile = plainPath;
  zlib.Decompress();
}

std::string PreviewCopyPath(const std::string& plainPath) {
  if (!Exists(plainPath)) return plainPath;
  const std::size_t slash = plainPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : plainPath.substr(0, slash + 1);
  const std::string name = plainPath.substr(folder.size());
  // A hidden name that keeps the extension, since the extension picks the decoder.
  for (unsigned n = 1;; ++n) {
    const std::string candidate =
        folder + ".preview" + (n == 1 ? "" : std::to_string(n)) + "-" + name;
    if (!Exists(candidate)) return candidate;
  }
}

void DeleteFileQuietly(const std::string& path) {
  ::unlink(path.c_str());
}

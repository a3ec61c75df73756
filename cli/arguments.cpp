// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/arguments.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdint>
#include <utility>

namespace {

constexpr int kMaxRetries = 100;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Plain decimal digits only: a sign, blanks or a unit would be a typo here.
bool ParseCount(const std::string& text, std::uint64_t& value) {
  if (text.empty() || !std::all_of(text.begin(), text.end(),
                                   [](unsigned char c) { return std::isdigit(c) != 0; })) {
    return false;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc{} && end == text.data() + text.size();
}

class TParser {
 public:
  explicit TParser(const std::vector<std::string>& arguments) : arguments_(arguments) {}

  TParsedArguments Parse();

 private:
  // False (with error_ set) when the option cannot be taken.
  bool Option(const std::string& word, std::size_t& index);
  bool Value(const std::string& name, const std::optional<std::string>& inlineValue,
             std::size_t& index, std::string& value);
  bool Fail(std::string message) {
    result_.error = std::move(message);
    return false;
  }

  const std::vector<std::string>& arguments_;
  TParsedArguments result_;
  bool stop_ = false;  // --help or --version seen
};

TParsedArguments TParser::Parse() {
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments_.size(); ++i) {
    const std::string& word = arguments_[i];
    if (!optionsEnded && word == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && !word.empty() && word[0] == '-') {
      if (!Option(word, i)) {
        result_.action = TParsedArguments::TAction::Error;
        return result_;
      }
      if (stop_) return result_;
    } else {
      operands.push_back(word);
    }
  }

  result_.action = TParsedArguments::TAction::Error;
  if (operands.empty()) {
    result_.error = "missing SOURCE and DEST";
  } else if (operands.size() == 1) {
    result_.error = "missing DEST";
  } else if (operands.size() > 2) {
    result_.error = "too many arguments: '" + operands[2] + "'";
  } else if (operands[0].empty() || operands[1].empty()) {
    result_.error = "SOURCE and DEST must not be empty";
  } else {
    result_.options.source = operands[0];
    result_.options.dest = operands[1];
    result_.action = TParsedArguments::TAction::Carve;
  }
  return result_;
}

bool TParser::Option(const std::string& word, std::size_t& index) {
  std::string name = word;
  std::optional<std::string> inlineValue;
  if (const std::size_t equals = word.find('='); word.starts_with("--") && equals != word.npos) {
    name = word.substr(0, equals);
    inlineValue = word.substr(equals + 1);
  }
  TCarveOptions& options = result_.options;
  const auto flag = [&](bool& target) {
    if (inlineValue) return Fail("option '" + name + "' takes no value");
    target = true;
    return true;
  };

  if (name == "-h" || name == "--help" || name == "--version") {
    if (inlineValue) return Fail("option '" + name + "' takes no value");
    result_.action =
        name == "--version" ? TParsedArguments::TAction::Version : TParsedArguments::TAction::Help;
    stop_ = true;
    return true;
  }
  if (name == "--check") return flag(options.check);
  if (name == "--keep-stored") return flag(options.keepStored);

  std::string value;
  if (name == "--types") {
    if (!Value(name, inlineValue, index, value)) return false;
    std::string badName;
    if (!ParseTypeList(value, options.types, badName)) {
      std::string names;
      for (const TSearchType& type : kSearchTypes) names += std::string(type.name) + ", ";
      return Fail("unknown type '" + badName + "' in --types (use " +
                  names.substr(0, names.size() - 2) + " or all)");
    }
    return true;
  }
  if (name == "--retries") {
    if (!Value(name, inlineValue, index, value)) return false;
    std::uint64_t count = 0;
    if (!ParseCount(value, count) || count > kMaxRetries) {
      return Fail("--retries takes a whole number from 0 to 100, not '" + value + "'");
    }
    options.retries = static_cast<int>(count);
    return true;
  }
  if (name == "--sectors") {
    if (!Value(name, inlineValue, index, value)) return false;
    std::uint64_t count = 0;
    if (!ParseCount(value, count) || count == 0) {
      return Fail("--sectors takes a whole number of at least 1, not '" + value + "'");
    }
    // The scan cuts it to what its buffer holds anyway.
    options.sectorsAtOnce = static_cast<int>(std::min<std::uint64_t>(count, INT_MAX));
    return true;
  }
  if (name == "--prefix") {
    if (!Value(name, inlineValue, index, value)) return false;
    // A "/" would put the files outside DEST or into folders that do not exist.
    if (value.find('/') != value.npos) return Fail("--prefix must not contain '/'");
    options.prefix = value;
    return true;
  }
  return Fail("unknown option '" + name + "'");
}

bool TParser::Value(const std::string& name, const std::optional<std::string>& inlineValue,
                    std::size_t& index, std::string& value) {
  if (inlineValue) {
    value = *inlineValue;
    return true;
  }
  if (index + 1 >= arguments_.size()) return Fail("option '" + name + "' needs a value");
  value = arguments_[++index];
  return true;
}

}  // namespace

TParsedArguments ParseArguments(const std::vector<std::string>& arguments) {
  return TParser(arguments).Parse();
}

bool ParseTypeList(const std::string& list, TSearchTypes& types, std::string& badName) {
  TSearchTypes chosen = AllSearchTypes(false);
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    const std::string name = Lower(list.substr(start, comma - start));
    const auto type = std::find_if(kSearchTypes.begin(), kSearchTypes.end(),
                                   [&name](const TSearchType& t) { return name == t.name; });
    if (name == "all") {
      chosen = AllSearchTypes();
    } else if (type != kSearchTypes.end()) {
      chosen.*type->flag = true;
    } else {
      badName = list.substr(start, comma - start);
      return false;
    }
    if (comma == list.size()) break;
    start = comma + 1;
  }
  types = chosen;
  return true;
}

std::string UsageText() {
  return R"(Usage: fernhollow-carve [OPTION]... SOURCE DEST
Recovers photos, movies and sound files from a memory card: reads SOURCE raw,
sector by sector, ignoring any file system, and carves out every file whose
header starts a sector. Each file runs up to the next header found.

SOURCE is a device (/dev/sdb, /dev/mmcblk0p1) or an image file; it is only
read. DEST is the folder the files go to; it is made if only its last part is
missing. Files are named PREFIX, number, type: recovered1.JPG, recovered2.PNG...
Numbers taken by files already in DEST are skipped; no file is overwritten.

Options:
  --types LIST   file types to search for: a comma list of jpg, bmp, gif, tif,
                 png, wav, avi, riff, mov, other (HEIC, CR3, RAF, MTS) (any
                 case), or all; default jpg
  --check        check headers and cut files at their end
  --retries N    retries of a failed read, 0 to 100; default 1
  --sectors N    sectors read at once, at least 1 (cut to what the 2048000-byte
                 buffer holds); default a hundredth of SOURCE
  --prefix P     first part of every file name; default recovered
  --keep-stored  keep the compressed copy (NAME.rdf) of every file beside it
  -h, --help     show this help and exit
  --version      show the version and exit
  --             end of options

Progress goes to stderr, then a line that says how the scan ended ("Finished:
33 files in 0:01:58"). When the scan has ended, every file found is written
out in DEST and its full path printed on stdout, one per line.
Ctrl-C (SIGINT) or SIGTERM stops the scan after the sectors being read; what
was found so far is still written out. A second one gives up the write-out,
leaving each file not yet written out as its compressed NAME.rdf.

Exit status:
  0  SOURCE was scanned to its end and every file found was written out
  1  the scan ended early (stopped by a signal, SOURCE could no longer be read,
     DEST could not be written) or SOURCE or DEST could not be used
  2  bad arguments
)";
}

std::string VersionText() {
  return std::string("fernhollow-carve ") + FH_VERSION + "\n";
}

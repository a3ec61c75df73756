// SPDX-License-Identifier: GPL-3.0-or-later
// The rules that lead from an entry of the results list back to its files, and
// the operations of the restore and the clean-up on one entry. The destination
// text is passed in as it reads at the moment of use; nothing here keeps it.
#pragma once

#include <string>

#include "compress/zlibtool.h"

// Destination text + stored name + ".rdf", joined with nothing in between: an
// entry cut with a destination that lacked its trailing "/" begins with one.
std::string StoredPath(const std::string& destinationText, const std::string& storedName);
// The stored path less ".rdf".
std::string PlainPath(const std::string& destinationText, const std::string& storedName);

// Expands a stored file to its plain path, replacing a file of that name;
// raises TZlibError when it cannot.
void RecoverStoredFile(TZlibTool& zlib, const std::string& storedPath,
                       const std::string& plainPath);

// Where a preview expands to: the plain path while it is free, else a free name
// of the preview's own in the same folder with the same extension, so a file
// the user already has is never changed or removed by a preview.
std::string PreviewCopyPath(const std::string& plainPath);

// Removes a file; a failure passes in silence.
void DeleteFileQuietly(const std::string& path);

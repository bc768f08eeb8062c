// File-system side of the host's file services on a POSIX desktop: the refusal of unusable
// received names and directory listings. The user's folders are in platform/Folders.h, the
// name rules and the writer of a received file in protocol/ReceivedFile.h.
//
// Everything here is called on the host agent's reader thread (listings, reception) or on a
// file-sender thread (ExistingFile); nothing keeps global state.
#pragma once

#include <string>
#include <string_view>

namespace tlm {

// SafeLeafName (protocol/ReceivedFile.h) with the reason for a refusal: TError when the name a
// viewer sent cannot name a file of its own in the target folder (empty, "." or "..", a NUL).
std::string SafeReceivedName(std::string_view ARawName);

// True when APath names an existing regular file (symbolic links followed; folders do not count).
bool ExistingFile(const std::string& APath);

// The reply to a listing request: "" lists the roots ("/" and the home folder), "~" the
// configuration folder, anything else that folder. A folder that cannot be opened gives the
// path line alone; other failures throw TError.
std::string BuildHostListing(std::string_view ARequest);

}  // namespace tlm

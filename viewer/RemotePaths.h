// Remote path navigation for the viewer's file browser (the rules for a received file's name
// are in protocol/ReceivedFile.h). No Qt, no I/O; callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace tlm {

// A host path that starts with "/" belongs to a POSIX host and uses "/" throughout; every
// other path keeps the Windows rules ("\" and drive letters with ":").
bool IsPosixRemotePath(std::string_view APath);

// The folder above APath as the file browser navigates: Windows paths are cut after their
// last "\" or ":" ("C:\Users\Bob" -> "C:\Users", "C:\Users" -> "C:\", "C:\" and "C:" stay,
// no delimiter -> ""); POSIX paths after their last "/" ("/home/u" -> "/home", "/" stays).
// A result equal to APath means APath is a root.
std::string RemoteParentPath(std::string_view APath);

// AFolder joined with AName by the folder's own delimiter, added unless already there.
std::string RemoteChildPath(std::string_view AFolder, std::string_view AName);

}  // namespace tlm

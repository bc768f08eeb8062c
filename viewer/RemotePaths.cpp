#include "viewer/RemotePaths.h"

namespace tlm {

bool IsPosixRemotePath(std::string_view APath) { return !APath.empty() && APath.front() == '/'; }

std::string RemoteParentPath(std::string_view APath) {
  if (IsPosixRemotePath(APath)) {
    std::string_view p = APath;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    const size_t slash = p.rfind('/');
    if (slash == 0) return "/";
    return std::string(p.substr(0, slash));
  }
  const size_t cut = APath.find_last_of("\\:");
  if (cut == std::string_view::npos) return std::string();
  if (APath[cut] == ':') return std::string(APath.substr(0, cut + 1));
  // A backslash stays only as part of a root ("C:\", "\\").
  if (cut > 0 && (APath[cut - 1] == ':' || APath[cut - 1] == '\\')) return std::string(APath.substr(0, cut + 1));
  return std::string(APath.substr(0, cut));
}

std::string RemoteChildPath(std::string_view AFolder, std::string_view AName) {
  const char delim = IsPosixRemotePath(AFolder) ? '/' : '\\';
  std::string out(AFolder);
  if (out.empty() || out.back() != delim) out += delim;
  out += AName;
  return out;
}

}  // namespace tlm

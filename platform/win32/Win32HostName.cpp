#include <windows.h>

#include "platform/HostName.h"
#include "protocol/WinText.h"

namespace tlm {

std::string LocalHostName() {
  wchar_t name[256] = {};
  DWORD size = sizeof name / sizeof name[0];
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return std::string();
  return Utf8FromWide(std::wstring(name, size));
}

}  // namespace tlm

#include "app/Autostart.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/Error.h"
#include "protocol/LocalFiles.h"

namespace tlm {

namespace {

constexpr const char* EntryName = "tlmremote.desktop";

bool Plain(char AChar) {
  return (AChar >= 'a' && AChar <= 'z') || (AChar >= 'A' && AChar <= 'Z') || (AChar >= '0' && AChar <= '9') ||
         std::strchr("/._-+,:=@", AChar) != nullptr || static_cast<unsigned char>(AChar) >= 0x80;
}

}  // namespace

std::string DesktopExecArgument(const std::string& AArgument) {
  bool plain = !AArgument.empty();
  for (const char c : AArgument) plain = plain && Plain(c);
  std::string out;
  if (plain) return AArgument;
  // Inside double quotes '"', '`', '$' and '\' take a backslash; then every '\' of the result is
  // doubled once more, as the key's value is itself an escaped string. '%' is a field code's
  // mark: a literal one is "%%".
  out += '"';
  for (const char c : AArgument) {
    if (c == '"' || c == '`' || c == '$') {
      out += "\\\\";
      out += c;
    } else if (c == '\\') {
      out += "\\\\\\\\";
    } else if (c == '%') {
      out += "%%";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

TAutostartEntry::TAutostartEntry(std::string AConfigHome, std::string AExecutable, std::vector<std::string> AArguments)
    : FConfigHome(std::move(AConfigHome)), FExecutable(std::move(AExecutable)), FArguments(std::move(AArguments)) {}

std::string TAutostartEntry::Path() const {
  std::string folder = FConfigHome;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + "autostart/" + EntryName;
}

std::string TAutostartEntry::Text() const {
  std::string exec = DesktopExecArgument(FExecutable);
  for (const std::string& arg : FArguments) exec += ' ' + DesktopExecArgument(arg);
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=TALMIR Remote\n"
         "Comment=원격 지원: 이 컴퓨터에 접속할 수 있게 합니다\n"
         "Exec=" + exec + "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool TAutostartEntry::Enabled() const {
  const std::optional<std::string> text = ReadFileText(Path());
  if (!text) return false;
  // Hidden=true means deleted; the GNOME key says the same where a session honours it.
  for (const char* off : {"\nHidden=true", "\nX-GNOME-Autostart-enabled=false"})
    if (("\n" + *text).find(off) != std::string::npos) return false;
  return true;
}

void TAutostartEntry::Enable() {
  const std::string path = Path();
  MakePrivateFolder(ParentFolder(path));
  try {
    ReplaceFileDurably(path, Text());
  } catch (const TError& e) {
    throw TError(path + ": " + e.what());
  }
}

void TAutostartEntry::Disable() {
  const std::string path = Path();
  if (std::remove(path.c_str()) != 0 && errno != ENOENT) throw TError(path + ": " + LastErrorText());
}

}  // namespace tlm

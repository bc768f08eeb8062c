#include "protocol/Messages.h"

namespace tlm {

uint8_t DecodedTileCodings() {
  return DecodesPaletteTiles;
}

TBytes QualityPayload(int APreset) {
  TBytes payload{uint8_t(APreset)};
  // Nothing to announce: the one byte a viewer of the first three presets sends.
  if (const uint8_t codings = DecodedTileCodings()) payload.push_back(codings);
  return payload;
}

std::vector<std::string> SplitTabs(std::string_view AText) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t tab = AText.find('\t', start);
    if (tab == std::string_view::npos) {
      out.emplace_back(AText.substr(start));
      return out;
    }
    out.emplace_back(AText.substr(start, tab - start));
    start = tab + 1;
  }
}

std::vector<std::string> SplitCrLf(std::string_view AText) {
  std::vector<std::string> out;
  if (AText.empty()) return out;
  size_t start = 0;
  for (;;) {
    size_t eol = AText.find("\r\n", start);
    if (eol == std::string_view::npos) {
      // A listing ends with CR LF: the empty piece after it is not a line of its own.
      if (start < AText.size()) out.emplace_back(AText.substr(start));
      return out;
    }
    out.emplace_back(AText.substr(start, eol - start));
    start = eol + 2;
  }
}

std::string FieldAt(const std::vector<std::string>& AFields, size_t AIndex) {
  return AIndex < AFields.size() ? AFields[AIndex] : std::string();
}

std::string BuildConnectRequest(std::string_view ATargetId, std::string_view AViewerName,
                                std::string_view AProof) {
  std::string out(ATargetId);
  out += '\t';
  out += AViewerName;
  out += '\t';
  out += AProof;
  out += "\tcontrol";
  return out;
}

std::string BuildMonitorList(const std::vector<TMonitorLine>& AMonitors) {
  std::string out;
  for (size_t i = 0; i < AMonitors.size(); ++i) {
    const auto& m = AMonitors[i];
    if (i > 0) out += "\r\n";
    out += std::to_string(m.Index) + '\t' + std::to_string(m.Width) + '\t' + std::to_string(m.Height) + '\t' +
           (m.Primary ? "1" : "0");
  }
  return out;
}

std::vector<TMonitorEntry> ParseMonitorList(std::string_view AText) {
  std::vector<TMonitorEntry> out;
  int position = 0;
  for (const auto& line : SplitCrLf(AText)) {
    if (line.empty()) continue;
    ++position;
    auto fields = SplitTabs(line);
    if (fields.size() < 3) continue;
    out.push_back({position, fields[1], fields[2]});
  }
  return out;
}

std::string BuildDirListing(std::string_view AFirstLine, const std::vector<TDirEntry>& AEntries) {
  std::string out(AFirstLine);
  out += "\r\n";
  for (const auto& e : AEntries) {
    out += e.IsDir ? "D\t" : "F\t";
    out += e.Name;
    out += '\t';
    out += e.IsDir ? std::string("0") : std::to_string(e.Size);
    out += "\r\n";
  }
  return out;
}

std::string BuildDirListingError(std::string_view AMessage) { return "!" + std::string(AMessage); }

std::optional<TDirListing> ParseDirListing(std::string_view AText) {
  TDirListing listing;
  if (!AText.empty() && AText[0] == '!') {
    listing.IsError = true;
    listing.ErrorText = std::string(AText.substr(1));
    return listing;
  }
  auto lines = SplitCrLf(AText);
  if (lines.empty()) return std::nullopt;
  listing.IsDrives = lines[0] == DrivesHeader;
  if (!listing.IsDrives) listing.Path = lines[0];
  for (size_t i = 1; i < lines.size(); ++i) {
    auto fields = SplitTabs(lines[i]);
    if (fields.size() < 3) continue;
    listing.Entries.push_back({fields[0] == "D", fields[1], fields[2]});
  }
  return listing;
}

std::string BuildFileBegin(std::string_view AName, uint64_t ASize) {
  return std::string(AName) + '\t' + std::to_string(ASize);
}

std::optional<std::string> FileBeginName(std::string_view AText) {
  auto fields = SplitTabs(AText);
  if (fields.size() < 2) return std::nullopt;
  return fields[0];
}

}  // namespace tlm

#include "tools/noxtokenctl/textTable.h"

#include <algorithm>

namespace NoxCtl {
namespace {

size_t CharacterCount(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

void AppendPadded(std::string& out, const std::string& text, size_t width) {
  out += text;
  out.append(width - std::min(width, CharacterCount(text)), ' ');
}

}  // namespace

std::string FormatTable(const TextRow& headers, const std::vector<TextRow>& rows) {
  std::vector<size_t> widths(headers.size());
  auto measure = [&widths](const TextRow& row) {
    for (size_t i = 0; i < widths.size() && i < row.size(); ++i) {
      widths[i] = std::max(widths[i], CharacterCount(row[i]));
    }
  };
  measure(headers);
  for (const auto& row : rows) measure(row);

  std::string out;
  auto write = [&](const TextRow& row) {
    std::string line;
    for (size_t i = 0; i < widths.size(); ++i) {
      const std::string& cell = i < row.size() ? row[i] : std::string();
      if (i + 1 < widths.size()) {
        AppendPadded(line, cell, widths[i] + 2);
      } else {
        line += cell;
      }
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out += line;
    out += '\n';
  };
  write(headers);
  for (const auto& row : rows) write(row);
  return out;
}

std::string FormatFields(const std::vector<std::pair<std::string, std::string>>& fields) {
  size_t width = 0;
  for (const auto& [label, value] : fields) width = std::max(width, CharacterCount(label) + 1);
  const std::string indent(width + 2, ' ');
  std::string out;
  for (const auto& [label, value] : fields) {
    AppendPadded(out, label + ":", width + 2);
    for (char c : value) {
      out += c;
      if (c == '\n') out += indent;
    }
    out += '\n';
  }
  return out;
}

std::string CellText(const json_t* value) {
  if (value == nullptr || json_is_null(value)) return "-";
  if (json_is_string(value))
    return std::string(json_string_value(value), json_string_length(value));
  return JsonText(*value, JSON_COMPACT);
}

std::string JsonText(const json_t& value, size_t flags) {
  flags |= JSON_ENCODE_ANY | JSON_PRESERVE_ORDER;
  std::string text(json_dumpb(&value, nullptr, 0, flags), '\0');
  json_dumpb(&value, text.data(), text.size(), flags);
  return text;
}

}  // namespace NoxCtl

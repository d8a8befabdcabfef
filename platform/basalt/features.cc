#include "platform/basalt/features.h"

#include <strings.h>
#include <fstream>
#include <sstream>
#include <utility>

#include "platform/basalt/hostPath.h"

FeatureTable FeatureList;

namespace {

constexpr std::pair<std::string_view, size_t> kSwitchNames[] = {
    {"noxtokend", FeatureTable::kNoxtokend},
    {"external_sts", FeatureTable::kExternalSts},
};

// "on" and "off", and the words an administrator may mean by them.
constexpr std::pair<std::string_view, bool> kSwitchWords[] = {
    {"on", true},  {"off", false}, {"true", true}, {"false", false},
    {"yes", true}, {"no", false},  {"1", true},    {"0", false},
};

std::string_view Trim(std::string_view text) {
  const char* blanks = " \t\r";
  auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

size_t FeatureTable::IndexOf(std::string_view name) {
  for (const auto& [known, index] : kSwitchNames) {
    if (known == name) return index;
  }
  return kSize;
}

FeatureTable FeatureTable::Parse(std::string_view text) {
  FeatureTable table;
  while (!text.empty()) {
    auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = line.substr(0, line.find('#'));
    auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    size_t index = IndexOf(Trim(line.substr(0, equals)));
    std::string_view value = Trim(line.substr(equals + 1));
    if (index == kSize) continue;
    bool known = false;
    for (const auto& [word, on] : kSwitchWords) {
      if (EqualsIgnoringCase(value, word)) {
        table.Set(index, on);
        known = true;
      }
    }
    if (!known) {
      table.unreadable_.emplace_back(Trim(line));
    }
  }
  return table;
}

std::string FeaturesFilePath() { return Basalt::System::HostPath("/etc/tessel/features.conf"); }

void FeatureState_Init() {
  std::ifstream file(FeaturesFilePath(), std::ios::binary);
  std::ostringstream text;
  if (file) text << file.rdbuf();
  FeatureList = FeatureTable::Parse(text.str());
}

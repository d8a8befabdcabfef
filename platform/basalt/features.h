// Host feature switches, read once from HostPath("/etc/tessel/features.conf"): lines
// "name = on|off" (also true|false, yes|no, 1|0, in any case), '#' starts a comment. A missing
// file or entry leaves the switch on.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Switches by their fixed index in the host's switch list.
class FeatureTable {
 public:
  static constexpr size_t kSize = 256;
  static constexpr size_t kNoxtokend = 105;    // "noxtokend": the daemon switch
  static constexpr size_t kExternalSts = 195;  // "external_sts": the external-issuer switch

  FeatureTable() { states_.fill(true); }

  bool operator[](size_t index) const { return index < kSize && states_[index]; }
  void Set(size_t index, bool on) {
    if (index < kSize) states_[index] = on;
  }

  // The index of a switch name, or kSize when the name is unknown.
  static size_t IndexOf(std::string_view name);

  // Applies the lines of a features file. Unknown names and lines that are not "name = value"
  // are skipped, and so is a known switch's value that is none of the words above: a damaged
  // file must not switch anything off by accident.
  static FeatureTable Parse(std::string_view text);

  // The lines of known switches whose value was skipped, for the log once there is one.
  const std::vector<std::string>& UnreadableLines() const { return unreadable_; }

 private:
  std::array<bool, kSize> states_;
  std::vector<std::string> unreadable_;
};

// The process's switch list; written only by FeatureState_Init, before any thread starts.
extern FeatureTable FeatureList;

// The features file: HostPath("/etc/tessel/features.conf").
std::string FeaturesFilePath();

// Loads FeatureList from the features file (every switch on when the file cannot be read).
void FeatureState_Init();

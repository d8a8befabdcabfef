#include "tools/noxtokenctl/commandSuggestions.h"

#include <algorithm>

namespace NoxCtl {
namespace {

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

CLI::App* Deepest(CLI::App& app) {
  CLI::App* command = &app;
  for (auto parsed = command->get_subcommands(); !parsed.empty();
       parsed = command->get_subcommands()) {
    command = parsed.front();
  }
  return command;
}

std::string PathOf(const CLI::App* command) {
  std::string path = command->get_name();
  for (const CLI::App* parent = command->get_parent(); parent != nullptr;
       parent = parent->get_parent()) {
    path = parent->get_name() + " " + path;
  }
  return path;
}

// Options of the command and of the commands above it, which also apply there.
std::vector<const CLI::Option*> OptionsInScope(const CLI::App* command) {
  std::vector<const CLI::Option*> options;
  for (; command != nullptr; command = command->get_parent()) {
    for (const CLI::Option* option : command->get_options()) options.push_back(option);
    for (const CLI::App* group : command->get_subcommands([](const CLI::App* sub) {
           return sub->get_name().empty();  // option groups are nameless subcommands
         })) {
      for (const CLI::Option* option : group->get_options()) options.push_back(option);
    }
  }
  return options;
}

const CLI::Option* FindOption(const std::vector<const CLI::Option*>& options,
                              const std::string& name) {
  for (const CLI::Option* option : options) {
    if (option->check_name(name)) return option;
  }
  return nullptr;
}

std::string Suggestion(CLI::App* command, int argc, const char* const* argv) {
  const auto options = OptionsInScope(command);
  std::vector<std::string> optionNames;
  for (const CLI::Option* option : options) {
    for (const auto& name : option->get_lnames()) optionNames.push_back("--" + name);
  }
  std::vector<std::string> commandNames;
  for (const CLI::App* sub :
       command->get_subcommands([](const CLI::App* s) { return !s->get_name().empty(); })) {
    commandNames.push_back(sub->get_name());
  }
  bool valueNext = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (valueNext) {
      valueNext = false;
      continue;
    }
    if (word.size() > 2 && word.starts_with("--")) {
      const std::string name = word.substr(0, word.find('='));
      const CLI::Option* option = FindOption(options, name);
      if (option == nullptr) {
        const std::string near = Nearest(name, optionNames);
        if (!near.empty()) return "unknown option '" + name + "': did you mean '" + near + "'?";
        continue;
      }
      valueNext = option->get_type_size() != 0 && word.find('=') == std::string::npos;
      continue;
    }
    if (word.starts_with("-") || commandNames.empty()) continue;
    if (std::find(commandNames.begin(), commandNames.end(), word) != commandNames.end()) continue;
    // A word that is not a command where a command is expected.
    const std::string near = Nearest(word, commandNames);
    if (!near.empty()) return "'" + word + "' is not a command here: did you mean '" + near + "'?";
  }
  return "";
}

}  // namespace

std::string Nearest(std::string_view word, const std::vector<std::string>& candidates) {
  std::string best;
  size_t bestDistance = std::max<size_t>(1, word.size() / 3) + 1;
  for (const auto& candidate : candidates) {
    const size_t distance = EditDistance(word, candidate);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = candidate;
    }
  }
  return best;
}

std::string ShortUsage(CLI::App& app, int argc, const char* const* argv) {
  CLI::App* command = Deepest(app);
  const std::string suggestion = Suggestion(command, argc, argv);
  const std::string path = PathOf(command);
  const std::string usage = CLI::Formatter().make_usage(command, path);
  return (suggestion.empty() ? "" : "noxtokenctl: " + suggestion + "\n") + usage + "Run '" + path +
         " --help' for more.\n";
}

}  // namespace NoxCtl

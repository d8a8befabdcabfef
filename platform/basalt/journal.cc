#include "platform/basalt/journal.h"

#include <cstdlib>

namespace Basalt::System {

std::unique_ptr<Journal> Journal::OpenUnderSystemd(std::string& why) {
  why.clear();
  if (std::getenv("JOURNAL_STREAM") == nullptr) return nullptr;
  auto library = SharedLibrary::Open("libsystemd.so.0");
  if (!library) {
    why = "cannot load libsystemd: " + library.error();
    return nullptr;
  }
  auto send = library->Bind<SendV>("sd_journal_sendv");
  if (send == nullptr) {
    why = "libsystemd has no sd_journal_sendv";
    return nullptr;
  }
  return std::unique_ptr<Journal>(new Journal(std::move(*library), send));
}

bool Journal::Send(const std::vector<std::string>& fields) const {
  std::vector<iovec> parts;
  parts.reserve(fields.size());
  for (const auto& field : fields) {
    parts.push_back({const_cast<char*>(field.data()), field.size()});
  }
  return send_(parts.data(), static_cast<int>(parts.size())) >= 0;
}

}  // namespace Basalt::System

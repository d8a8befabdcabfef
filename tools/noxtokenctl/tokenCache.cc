#include "tools/noxtokenctl/tokenCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/authn/unverifiedClaims.h"
#include "platform/orbi/json.h"
#include "tools/noxtokenctl/ctlError.h"

namespace NoxCtl {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxTokenBytes = 64 * 1024;

[[noreturn]] void FailOn(const fs::path& path, const std::string& what) {
  throw CtlError(ExitCode::kUsage,
                 "cannot " + what + " " + path.string() + ": " + std::strerror(errno));
}

void MakePrivateDirectory(const fs::path& dir) {
  if (::mkdir(dir.c_str(), 0700) == 0) return;
  if (errno != EEXIST) FailOn(dir, "create");
  // An existing directory may have been made by hand with a wider mode.
  if (::chmod(dir.c_str(), 0700) != 0) FailOn(dir, "restrict");
}

}  // namespace

std::optional<fs::path> TokenFilePath() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return fs::path(runtime) / "noxtokenctl" / "token";
  }
  if (const char* home = std::getenv("HOME"); home && *home) {
    return fs::path(home) / ".cache" / "noxtokenctl" / "token";
  }
  return std::nullopt;
}

std::optional<int64_t> ReadTokenExpiry(std::string_view token) {
  const auto claims = Nox::Authn::ReadUnverifiedClaims(token);
  const json_t* exp = claims ? json_object_get(claims.get(), "exp") : nullptr;
  if (!json_is_integer(exp)) return std::nullopt;
  return json_integer_value(exp);
}

void SaveToken(const fs::path& file, std::string_view token) {
  const fs::path dir = file.parent_path();
  std::error_code ignored;  // a missing parent shows as the directory's own failure below
  fs::create_directories(dir.parent_path(), ignored);
  MakePrivateDirectory(dir);
  const fs::path temporary = dir / (file.filename().string() + ".new");
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) FailOn(temporary, "create");
  std::string text(token);
  text += '\n';
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    const int reason = errno;
    ::unlink(temporary.c_str());
    errno = reason;
    FailOn(temporary, "write");
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) FailOn(file, "replace");
}

std::optional<std::string> LoadToken(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(kMaxTokenBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::nullopt;
  const size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

}  // namespace NoxCtl

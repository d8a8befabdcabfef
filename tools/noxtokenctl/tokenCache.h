// The token `login` keeps between runs, and whether a kept token is still worth sending.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/orbi/json.h"

namespace NoxCtl {

// $XDG_RUNTIME_DIR/noxtokenctl/token, else $HOME/.cache/noxtokenctl/token; nullopt without
// either variable.
std::optional<std::filesystem::path> TokenFilePath();

// The integer "exp" claim of a compact JWT, read from its payload without checking the
// signature: the client only decides whether to send a token, the daemon verifies it. nullopt
// when the token has no such claim or is not a JWT.
std::optional<int64_t> ReadTokenExpiry(std::string_view token);

// Replaces the file with the token in one rename; the directory is made 0700, the file 0600.
// Throws CtlError(kUsage) with the path and the reason when either cannot be written.
void SaveToken(const std::filesystem::path& file, std::string_view token);

// The kept token without surrounding white space; nullopt when there is no readable file.
std::optional<std::string> LoadToken(const std::filesystem::path& file);

}  // namespace NoxCtl

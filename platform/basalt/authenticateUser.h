// Host user authentication: a user name and password checked by the host's PAM service
// "noxtokend". With TESSEL_ROOT set, PAM reads its configuration from $TESSEL_ROOT/etc/pam.d
// instead of the host's, so tests and local runs bring their own users.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace Basalt::System {

// Proof that the host accepted a user's credentials.
class AuthTokenHelper {
 public:
  explicit AuthTokenHelper(std::string user);
  const std::string& GetUserName() const;

 private:
  std::string user_;
};

// Longer inputs, and inputs holding a NUL byte, are refused without asking PAM.
inline constexpr std::size_t kMaxAuthUserNameLength = 256;
inline constexpr std::size_t kMaxAuthPasswordLength = 4096;
// The failure delay of a refusal decided without PAM: PAM's usual one (pam_unix's and
// pam_faildelay's default, 2 s), so that no refusal comes back sooner than a checked one.
inline constexpr std::chrono::microseconds kUsualFailDelay = std::chrono::seconds(2);

// Empty pointer when the host refuses the credentials or PAM fails. A refusal returns when the
// failure delay that the PAM modules requested (`kUsualFailDelay` for inputs refused before PAM)
// has passed since the call started.
std::shared_ptr<AuthTokenHelper> AuthenticateUser(const std::string& user,
                                                  const std::string& password);

struct AuthenticationOutcome {
  std::shared_ptr<AuthTokenHelper> token;
  // What PAM would have slept after a refusal, `kUsualFailDelay` for inputs refused before PAM;
  // zero on success.
  std::chrono::microseconds failDelay{0};
  // Whether the host's user database (NSS) knows the name: looked up after a refusal, on the
  // same thread, also when only the password was refused before PAM; false for a user name that
  // is itself refused (empty, too long, or holding a NUL). A refused name nobody has is often a
  // password typed into the wrong field, so records of the refusal leave it out.
  bool hostUser = false;
};

// Same check, but PAM's failure delay is handed back instead of slept, so that a server can
// delay its answer without holding a thread for it.
AuthenticationOutcome AuthenticateUserDeferringDelay(const std::string& user,
                                                     const std::string& password);

}  // namespace Basalt::System

#include "platform/basalt/authenticateUser.h"

#include <pwd.h>
#include <security/pam_appl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/basalt/hostPath.h"
#include "platform/basalt/sharedLibrary.h"

namespace Basalt::System {
namespace {

constexpr char kPamServiceName[] = "noxtokend";

// libpam and what it links (libaudit, libcap-ng) keep about 300 kB resident; a daemon that nobody
// asks for a password never maps them. Loaded at the first transaction and kept: the modules PAM
// loads for a transaction are its own to keep or unload.
class PamLibrary {
 public:
  // The loaded library, or nullptr when it cannot be loaded (every transaction then fails).
  static const PamLibrary* Get() {
    static const PamLibrary library;
    return library.start && library.startConfdir && library.setItem && library.authenticate &&
                   library.accountManagement && library.end
               ? &library
               : nullptr;
  }

  decltype(&pam_start) start = nullptr;
  decltype(&pam_start_confdir) startConfdir = nullptr;
  decltype(&pam_set_item) setItem = nullptr;
  decltype(&pam_authenticate) authenticate = nullptr;
  decltype(&pam_acct_mgmt) accountManagement = nullptr;
  decltype(&pam_end) end = nullptr;

 private:
  PamLibrary() : library_(SharedLibrary::Open("libpam.so.0")) {
    if (!library_) return;
    Bind(start, "pam_start");
    Bind(startConfdir, "pam_start_confdir");
    Bind(setItem, "pam_set_item");
    Bind(authenticate, "pam_authenticate");
    Bind(accountManagement, "pam_acct_mgmt");
    Bind(end, "pam_end");
  }
  template <typename Function>
  void Bind(Function& function, const char* name) {
    function = library_->Bind<Function>(name);
  }

  Result<SharedLibrary, std::string> library_;
};

// Per-call state that PAM hands back to the conversation and delay callbacks.
struct PamExchange {
  const std::string* password;
  unsigned int failDelayMicros = 0;
};

// Frees a response array on the error paths of the conversation; PAM frees it on success.
struct FreeResponses {
  int count;
  void operator()(pam_response* responses) const {
    for (int i = 0; i < count; ++i) {
      if (responses[i].resp == nullptr) continue;
      explicit_bzero(responses[i].resp, std::strlen(responses[i].resp));
      std::free(responses[i].resp);
    }
    std::free(responses);
  }
};

int Converse(int count, const pam_message** messages, pam_response** out, void* appdata) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG || appdata == nullptr) return PAM_CONV_ERR;
  const auto* exchange = static_cast<const PamExchange*>(appdata);
  std::unique_ptr<pam_response, FreeResponses> responses(
      static_cast<pam_response*>(std::calloc(count, sizeof(pam_response))), FreeResponses{count});
  if (!responses) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
        responses.get()[i].resp = strdup(exchange->password->c_str());
        if (responses.get()[i].resp == nullptr) return PAM_BUF_ERR;
        break;
      case PAM_ERROR_MSG:
      case PAM_TEXT_INFO:
        break;
      default:
        // The user name is given up front and there is nobody to answer anything else.
        return PAM_CONV_ERR;
    }
  }
  *out = responses.release();
  return PAM_SUCCESS;
}

void CaptureFailDelay(int status, unsigned int micros, void* appdata) {
  if (status == PAM_SUCCESS || appdata == nullptr) return;
  auto* exchange = static_cast<PamExchange*>(appdata);
  exchange->failDelayMicros = std::max(exchange->failDelayMicros, micros);
}

// One PAM transaction; pam_end runs with the status of the last step.
class PamTransaction {
 public:
  PamTransaction(const std::string& user, PamExchange* exchange)
      : pam_(PamLibrary::Get()), conversation_{&Converse, exchange} {
    if (pam_ == nullptr) return;
    if (HostRoot().empty()) {
      status_ = pam_->start(kPamServiceName, user.c_str(), &conversation_, &handle_);
    } else {
      const std::string confdir = HostPath("/etc/pam.d");
      status_ = pam_->startConfdir(kPamServiceName, user.c_str(), &conversation_, confdir.c_str(),
                                   &handle_);
    }
    if (status_ == PAM_SUCCESS) {
      status_ =
          pam_->setItem(handle_, PAM_FAIL_DELAY, reinterpret_cast<const void*>(&CaptureFailDelay));
    }
  }
  ~PamTransaction() {
    if (handle_ != nullptr) pam_->end(handle_, status_);
  }
  PamTransaction(const PamTransaction&) = delete;
  PamTransaction& operator=(const PamTransaction&) = delete;

  bool Authenticate() {
    constexpr int kFlags = PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK;
    if (status_ == PAM_SUCCESS) status_ = pam_->authenticate(handle_, kFlags);
    if (status_ == PAM_SUCCESS) status_ = pam_->accountManagement(handle_, kFlags);
    return status_ == PAM_SUCCESS;
  }

 private:
  const PamLibrary* pam_;
  pam_conv conversation_;
  pam_handle_t* handle_ = nullptr;
  int status_ = PAM_SYSTEM_ERR;
};

bool IsAcceptableInput(std::string_view text, std::size_t maxLength) {
  return text.size() <= maxLength && text.find('\0') == std::string_view::npos;
}

// Whether the host's user database (NSS) has an entry for `user` (an acceptable input); may block
// as NSS does.
bool IsHostUser(const std::string& user) {
  passwd entry{};
  passwd* found = nullptr;
  // NSS asks for more room by ERANGE; a few doublings cover any sane entry.
  std::vector<char> room(1024);
  for (int tries = 0; tries < 8; ++tries) {
    const int error = getpwnam_r(user.c_str(), &entry, room.data(), room.size(), &found);
    if (error != ERANGE) return error == 0 && found != nullptr;
    room.resize(room.size() * 2);
  }
  return false;
}

}  // namespace

AuthTokenHelper::AuthTokenHelper(std::string user) : user_(std::move(user)) {}

const std::string& AuthTokenHelper::GetUserName() const { return user_; }

AuthenticationOutcome AuthenticateUserDeferringDelay(const std::string& user,
                                                     const std::string& password) {
  AuthenticationOutcome outcome;
  // Refused without PAM but answered as late as PAM's refusals, so that they cannot come back
  // as a fast flood; the name is still looked up, so that its refusal is recorded and counted
  // as any other refusal of that user.
  const bool acceptableUser = !user.empty() && IsAcceptableInput(user, kMaxAuthUserNameLength);
  if (!acceptableUser || !IsAcceptableInput(password, kMaxAuthPasswordLength)) {
    outcome.failDelay = kUsualFailDelay;
    outcome.hostUser = acceptableUser && IsHostUser(user);
    return outcome;
  }
  PamExchange exchange{&password};
  bool accepted = false;
  {
    PamTransaction transaction(user, &exchange);
    accepted = transaction.Authenticate();
  }
  if (accepted) {
    outcome.token = std::make_shared<AuthTokenHelper>(user);
    outcome.hostUser = true;
  } else {
    outcome.failDelay = std::chrono::microseconds(exchange.failDelayMicros);
    outcome.hostUser = IsHostUser(user);
  }
  return outcome;
}

std::shared_ptr<AuthTokenHelper> AuthenticateUser(const std::string& user,
                                                  const std::string& password) {
  const auto start = std::chrono::steady_clock::now();
  AuthenticationOutcome outcome = AuthenticateUserDeferringDelay(user, password);
  // Counted from the start, so that a known user's longer check does not show.
  if (!outcome.token && outcome.failDelay.count() > 0) {
    std::this_thread::sleep_until(start + outcome.failDelay);
  }
  return std::move(outcome.token);
}

}  // namespace Basalt::System

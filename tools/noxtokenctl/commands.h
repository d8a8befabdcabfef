// The commands of noxtokenctl, each one operation call (login: one call and the saved token).
// Options arrive as the command line parsed them; every function returns the run's exit code.
#pragma once

#include <string>
#include <vector>

#include "tools/noxtokenctl/session.h"

namespace NoxCtl {

struct UserOptions {
  std::string user;  // empty: use the current credential
  bool passwordStdin = false;
};

ExitCode Login(Session& session, const UserOptions& options);
ExitCode TokenCreate(Session& session, const UserOptions& options);
ExitCode TokenVerify(Session& session, const std::string& token);

struct ProfileOptions {
  std::string name;  // the profile of get, set and delete
  std::string localUser, externalUser, externalGroup, issuerAlias, domain;
  std::string projection;  // empty: the daemon's default
  std::vector<std::string> grants;
};

ExitCode ProfileList(Session& session, const ProfileOptions& options);
ExitCode ProfileCreate(Session& session, const ProfileOptions& options);
ExitCode ProfileGet(Session& session, const ProfileOptions& options);
ExitCode ProfileSet(Session& session, const ProfileOptions& options);
ExitCode ProfileDelete(Session& session, const ProfileOptions& options);

struct IssuerOptions {
  std::string alias;
  std::string issuer;
  bool issuerGiven = false;  // set may leave the issuer as it is
  std::string projection;
  std::vector<std::string> chainFiles;
};

ExitCode IssuerList(Session& session, const IssuerOptions& options);
ExitCode IssuerCreate(Session& session, const IssuerOptions& options);
ExitCode IssuerGet(Session& session, const IssuerOptions& options);
ExitCode IssuerSet(Session& session, const IssuerOptions& options);
ExitCode IssuerDelete(Session& session, const IssuerOptions& options);

struct CallOptions {
  std::string service;
  std::string operation;
  std::string input;  // empty: {}
};

ExitCode CallOperation(Session& session, const CallOptions& options);

}  // namespace NoxCtl

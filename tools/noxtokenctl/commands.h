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

struct SamlOptions {
  std::string assertionFile;  // empty: no SAML credential
  std::string keyFile;
  std::string algorithm;  // empty: chosen by the key
};

ExitCode Login(Session& session, const UserOptions& options);
ExitCode Logout(Session& session);
ExitCode TokenCreate(Session& session, const UserOptions& options, const SamlOptions& saml);
ExitCode TokenVerify(Session& session, const std::string& token);
// Decodes a daemon token (the given one, else the current one), shows its claims and asks the
// daemon whether it accepts it; exit 1 when it does not.
ExitCode TokenInspect(Session& session, const std::string& given);

struct ProfileOptions {
  std::string name;  // the profile of get, set and delete
  std::string localUser, externalUser, externalGroup, issuerAlias, domain;
  std::string projection;  // empty: the daemon's default
  std::vector<std::string> grants;
  bool clear = false;  // set: no grants, said on purpose
  bool force = false;  // allow leaving no administrator profile
};

ExitCode ProfileList(Session& session, const ProfileOptions& options);
ExitCode ProfileCreate(Session& session, const ProfileOptions& options);
ExitCode ProfileGet(Session& session, const ProfileOptions& options);
ExitCode ProfileSet(Session& session, const ProfileOptions& options);
ExitCode ProfileDelete(Session& session, const ProfileOptions& options);
// Adds or removes the grants of options.grants on one profile (read, change, set).
ExitCode ProfileGrant(Session& session, const ProfileOptions& options);
ExitCode ProfileRevoke(Session& session, const ProfileOptions& options);

struct IssuerOptions {
  std::string alias;
  std::string issuer;
  bool issuerGiven = false;  // set may leave the issuer as it is
  std::string projection;
  std::vector<std::string> chainFiles;
  bool withProfiles = false;  // delete: the profiles that name the alias too
  bool force = false;
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

struct ApplyOptions {
  std::string file;
  bool dryRun = false;
  bool prune = false;
};

// Every profile and issuer as one JSON document in a stable order.
ExitCode Export(Session& session);
// Makes the daemon's profiles and issuers those of the file, printing each change.
ExitCode Apply(Session& session, const ApplyOptions& options);

}  // namespace NoxCtl

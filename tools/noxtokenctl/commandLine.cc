#include "tools/noxtokenctl/commandLine.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <functional>
#include <tuple>

#include "noxVersion.h"
#include "tools/noxtokenctl/commandSuggestions.h"
#include "tools/noxtokenctl/commands.h"
#include "tools/noxtokenctl/statusCommand.h"

namespace NoxCtl {
namespace {

constexpr const char* kDefaultUrl = "http://localhost:9199/api";

constexpr const char* kFooter = R"(
Commands (each has --help):
  login --user NAME [--password-stdin]  |  logout
  token create [--user NAME [--password-stdin] | --saml ASSERTION.xml --key KEY.pem
               [--algorithm ALG]]
  token verify [TOKEN]  |  token inspect [TOKEN]
  profile list [--local-user N | --external-user N | --external-group N] [--issuer-alias A]
               [--domain D] [--projection full|subject|name]
  profile create (--local-user N | --external-user N | --external-group N) [--issuer-alias A]
                 [--domain D] [--grant RESOURCE:ENTITLEMENT]...
  profile get NAME | profile delete NAME [--force]
  profile set NAME (--grant RESOURCE:ENTITLEMENT... | --clear) [--force]
  profile grant|revoke NAME RESOURCE:ENTITLEMENT... [--force]
  issuer list [--projection full|issuer|alias] | issuer get ALIAS
  issuer delete ALIAS [--with-profiles] [--force]
  issuer create ALIAS --issuer NAME [--chain FILE]...   (one PEM file per chain, in order)
  issuer set ALIAS [--issuer NAME] [--chain FILE]...
  export  |  apply -f FILE [--dry-run] [--prune]
  call SERVICE OPERATION [INPUT_JSON]
  status [--metrics-port N] [--config FILE]   (exit 3 when the daemon does not answer)

A change that would leave no profile granting HOST:ADMINISTRATOR to a subject that can still
authenticate (a local user, or an external one whose issuer alias is registered) is refused unless
--force is given (apply always refuses it; call has no such checks); likely mistakes are named on
standard error as warnings.

The daemon's URL is --url, else http://localhost:PORT/api with --port, else $NOXTOKEN_URL, else
http://localhost:9199/api.

Commands present --token, else $NOXTOKEN_TOKEN, else the token saved by 'login' in
$XDG_RUNTIME_DIR/noxtokenctl/token (~/.cache/noxtokenctl/token without XDG_RUNTIME_DIR) until
it expires. --user asks for the password on the terminal without echo; --password-stdin reads
one line from standard input instead. Passwords are never taken from arguments or the environment.

-o text (the default) shows results for people; -o json writes the operation's output value as
JSON on standard output, nothing when the operation returns none. Errors go to standard error;
with -o json an API error value is also written to standard output.

Exit status: 0 success, 1 the daemon answered with an error, 2 usage error (or a file, or a
change the client refuses), 3 the daemon cannot be reached, 4 protocol error (an answer that is
not a valid result).)";

using Action = std::function<ExitCode(Session&)>;

struct GlobalOptions {
  std::string url;
  int port = 0;
  std::string output = "text";
  std::string token;
  std::string opId;
};

// Every option of every command; only the chosen command's are read.
struct AllOptions {
  GlobalOptions global;
  UserOptions user;
  SamlOptions saml;
  std::string verifyToken;
  ApplyOptions apply;
  ProfileOptions profile;
  IssuerOptions issuer;
  CallOptions call;
  StatusOptions status;
};

CLI::App* Leaf(CLI::App& parent, const std::string& name, const std::string& description,
               Action& chosen, Action action) {
  CLI::App* command = parent.add_subcommand(name, description);
  command->callback([&chosen, action = std::move(action)] { chosen = action; });
  return command;
}

// A value that must not be empty: an unset shell variable would otherwise pass silently as "not
// given", or reach the daemon, whose answer does not say that the name was empty.
CLI::Validator NotEmpty(const std::string& refusal) {
  return CLI::Validator([refusal](std::string& value) { return value.empty() ? refusal : ""; }, "",
                        "not empty");
}

void AddUserOptions(CLI::App* command, UserOptions& options, bool required) {
  CLI::Option* user =
      command->add_option("--user", options.user, "Host user to authenticate")->type_name("NAME");
  if (required) user->required();
  command
      ->add_flag("--password-stdin", options.passwordStdin,
                 "Read the password as one line from standard input")
      ->needs(user);
}

// --local-user | --external-user | --external-group, --issuer-alias, --domain.
void AddSubjectOptions(CLI::App* command, ProfileOptions& options, bool required) {
  CLI::App* subject = command->add_option_group("subject", "The profile's subject (one of)");
  subject->add_option("--local-user", options.localUser, "A host user")
      ->type_name("NAME")
      ->check(NotEmpty("an empty name"));
  subject->add_option("--external-user", options.externalUser, "A user of an external issuer")
      ->type_name("NAME")
      ->check(NotEmpty("an empty name"));
  subject->add_option("--external-group", options.externalGroup, "A group of an external issuer")
      ->type_name("NAME")
      ->check(NotEmpty("an empty name"));
  if (required) {
    subject->require_option(1);
  } else {
    subject->require_option(0, 1);
  }
  command->add_option("--issuer-alias", options.issuerAlias, "Alias of the external issuer")
      ->type_name("ALIAS")
      ->check(NotEmpty("an empty alias"));
  command->add_option("--domain", options.domain, "Domain of the external subject")
      ->type_name("DOMAIN")
      ->check(NotEmpty("an empty domain"));
}

void AddGrantOption(CLI::App* command, ProfileOptions& options) {
  command
      ->add_option("--grant", options.grants,
                   "HOST:ADMINISTRATOR, HOST:OPERATOR or HOST:READ_ONLY; repeatable")
      ->type_name("RESOURCE:ENTITLEMENT")
      ->allow_extra_args(false);
}

void AddTokenCommands(CLI::App& app, AllOptions& all, Action& chosen) {
  CLI::App* login =
      Leaf(app, "login", "Get a token with a user's password and keep it for later commands",
           chosen, [&all](Session& s) { return Login(s, all.user); });
  AddUserOptions(login, all.user, true);

  Leaf(app, "logout", "Delete the token saved by login", chosen,
       [](Session& s) { return Logout(s); });

  CLI::App* token = app.add_subcommand("token", "Create, verify or inspect daemon tokens");
  token->require_subcommand(1);
  CLI::App* create =
      Leaf(*token, "create",
           "Print a new token for --user or --saml, else for the current "
           "credential (an external JWT)",
           chosen, [&all](Session& s) { return TokenCreate(s, all.user, all.saml); });
  AddUserOptions(create, all.user, false);
  CLI::Option* saml =
      create->add_option("--saml", all.saml.assertionFile, "SAML holder-of-key assertion file")
          ->type_name("ASSERTION.xml")
          ->excludes("--user");
  CLI::Option* key =
      create
          ->add_option("--key", all.saml.keyFile, "PEM private key of its confirmation certificate")
          ->type_name("KEY.pem");
  saml->needs(key);
  key->needs(saml);
  create
      ->add_option("--algorithm", all.saml.algorithm,
                   "Proof algorithm (default by the key: ES256, ES384 or RS256)")
      ->type_name("RS256|RS384|RS512|PS256|ES256|ES384")
      ->needs(saml);
  for (const auto& [name, description, run] :
       {std::tuple{"verify", "Print the user name a token stands for", &TokenVerify},
        std::tuple{"inspect",
                   "Show a token's user, entitlements and expiry, and whether the "
                   "daemon accepts it",
                   &TokenInspect}}) {
    CLI::App* command = Leaf(*token, name, description, chosen,
                             [&all, run = run](Session& s) { return run(s, all.verifyToken); });
    command->add_option("TOKEN", all.verifyToken, "The token (default: the current one)")
        ->check(NotEmpty("TOKEN is empty; leave it out to use the current token"));
  }
}

void AddProfileCommands(CLI::App& app, AllOptions& all, Action& chosen) {
  ProfileOptions& options = all.profile;
  CLI::App* profile =
      app.add_subcommand("profile", "Manage client profiles (who gets which entitlements)");
  profile->require_subcommand(1);

  CLI::App* list = Leaf(*profile, "list", "List profiles, optionally those of one subject", chosen,
                        [&options](Session& s) { return ProfileList(s, options); });
  AddSubjectOptions(list, options, false);
  list->add_option("--projection", options.projection, "What to show (default: subject)")
      ->type_name("full|subject|name")
      ->check(CLI::IsMember({"full", "subject", "name"}, CLI::ignore_case).description(""));

  CLI::App* create = Leaf(*profile, "create", "Create a profile and print its name", chosen,
                          [&options](Session& s) { return ProfileCreate(s, options); });
  AddSubjectOptions(create, options, true);
  AddGrantOption(create, options);

  auto named = [&](const std::string& name, const std::string& description,
                   ExitCode (*run)(Session&, const ProfileOptions&)) {
    CLI::App* command = Leaf(*profile, name, description, chosen,
                             [&options, run](Session& s) { return run(s, options); });
    command->add_option("NAME", options.name, "The profile's name")
        ->required()
        ->check(NotEmpty("an empty profile name"));
    return command;
  };
  auto addForce = [&options](CLI::App* command) {
    command->add_flag("--force", options.force,
                      "Make the change even if no profile would grant HOST:ADMINISTRATOR");
    return command;
  };
  named("get", "Show a profile", ProfileGet);
  CLI::App* set = addForce(named("set", "Replace a profile's grants", ProfileSet));
  AddGrantOption(set, options);
  set->add_flag("--clear", options.clear, "Leave the profile without grants");
  addForce(named("delete", "Delete a profile", ProfileDelete));
  for (const auto& [name, description, run] :
       {std::tuple{"grant", "Add grants to a profile", &ProfileGrant},
        std::tuple{"revoke", "Remove grants from a profile", &ProfileRevoke}}) {
    addForce(named(name, description, run))
        ->add_option("GRANT", options.grants, "HOST:ADMINISTRATOR, HOST:OPERATOR or HOST:READ_ONLY")
        ->type_name("RESOURCE:ENTITLEMENT")
        ->required();
  }
}

void AddIssuerCommands(CLI::App& app, AllOptions& all, Action& chosen) {
  IssuerOptions& options = all.issuer;
  CLI::App* issuer = app.add_subcommand("issuer", "Manage trusted external token issuers");
  issuer->require_subcommand(1);

  CLI::App* list = Leaf(*issuer, "list", "List issuers", chosen,
                        [&options](Session& s) { return IssuerList(s, options); });
  list->add_option("--projection", options.projection, "What to show (default: issuer)")
      ->type_name("full|issuer|alias")
      ->check(CLI::IsMember({"full", "issuer", "alias"}, CLI::ignore_case).description(""));

  auto aliased = [&](const std::string& name, const std::string& description,
                     ExitCode (*run)(Session&, const IssuerOptions&)) {
    CLI::App* command = Leaf(*issuer, name, description, chosen,
                             [&options, run](Session& s) { return run(s, options); });
    command->add_option("ALIAS", options.alias, "The issuer's alias")
        ->required()
        ->check(NotEmpty("an empty alias"));
    return command;
  };
  auto addChains = [&options](CLI::App* command) {
    command
        ->add_option("--chain", options.chainFiles,
                     "PEM file of one signing chain, certificates in order; repeatable")
        ->type_name("FILE")
        ->allow_extra_args(false);
  };
  CLI::App* create = aliased("create", "Trust a new issuer", IssuerCreate);
  create->add_option("--issuer", options.issuer, "The issuer's name as its tokens carry it")
      ->type_name("NAME")
      ->required();
  addChains(create);

  aliased("get", "Show an issuer and the subjects of its certificates", IssuerGet);
  CLI::App* set = aliased("set", "Change an issuer's name or replace its chains", IssuerSet);
  set->add_option_function<std::string>(
         "--issuer",
         [&options](const std::string& name) {
           options.issuer = name;
           options.issuerGiven = true;
         },
         "The issuer's new name (default: unchanged)")
      ->type_name("NAME");
  addChains(set);
  CLI::App* remove = aliased("delete", "Stop trusting an issuer", IssuerDelete);
  remove->add_flag("--with-profiles", options.withProfiles,
                   "Delete the profiles that name the alias too");
  remove->add_flag("--force", options.force,
                   "Even if no profile of a subject that can authenticate would grant "
                   "HOST:ADMINISTRATOR");
}

void AddFleetCommands(CLI::App& app, ApplyOptions& options, Action& chosen) {
  Leaf(app, "export", "Print every profile and issuer as one JSON document", chosen,
       [](Session& s) { return Export(s); });
  CLI::App* apply =
      Leaf(app, "apply", "Make the daemon's profiles and issuers those of a JSON document", chosen,
           [&options](Session& s) { return Apply(s, options); });
  apply->add_option("-f,--file", options.file, "The document, as export writes it")
      ->type_name("FILE")
      ->required();
  apply->add_flag("--dry-run", options.dryRun, "Print the changes without making them");
  apply->add_flag("--prune", options.prune, "Delete profiles and issuers the file does not hold");
}

void AddCallCommand(CLI::App& app, CallOptions& options, Action& chosen) {
  CLI::App* call =
      Leaf(app, "call", "Call any operation with a JSON input and the current credential", chosen,
           [&options](Session& s) { return CallOperation(s, options); });
  call->add_option("SERVICE", options.service, "Service id")->required();
  call->add_option("OPERATION", options.operation, "Operation id")->required();
  call->add_option("INPUT_JSON", options.input, "The input object (default: {})");
}

}  // namespace

int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app("Client of noxtokend, the host's token daemon", "noxtokenctl");
  // Commands inherit this footer; the top level gets the full one once they are added.
  app.footer(
      "Global options: [--url URL | --port N] [-o text|json] [--token TOKEN] [--op-id ID]"
      " (see noxtokenctl --help)");
  app.get_formatter()->column_width(34);
  app.set_version_flag("--version", std::string("noxtokenctl ") + Nox::kVersion,
                       "Print the version and exit");
  app.fallthrough();  // global options may also follow the command
  app.require_subcommand(1);

  AllOptions all;
  Action chosen;
  GlobalOptions& global = all.global;
  CLI::Option* url = app.add_option("--url", global.url, "The daemon's API URL")->type_name("URL");
  // Checked after parsing rather than declared, which would clutter every help line.
  CLI::Option* port = app.add_option("--port", global.port, "Same as --url http://localhost:N/api")
                          ->type_name("N")
                          ->check(CLI::Range(1, 65535).description(""));
  app.add_option("-o,--output", global.output, "Output format (default: text)")
      ->type_name("text|json")
      ->check(CLI::IsMember({"text", "json"}).description(""));
  app.add_option("--token", global.token, "The daemon token to present")->type_name("TOKEN");
  app.add_option("--op-id", global.opId, "Operation id for the daemon's log lines")
      ->type_name("ID");
  AddTokenCommands(app, all, chosen);
  AddProfileCommands(app, all, chosen);
  AddIssuerCommands(app, all, chosen);
  AddFleetCommands(app, all.apply, chosen);
  AddCallCommand(app, all.call, chosen);
  CLI::App* status = Leaf(app, "status", "Whether the daemon answers, its version and metrics",
                          chosen, [&all](Session& s) { return Status(s, all.status); });
  status->add_option("--metrics-port", all.status.metricsPort, "Port of GET /metrics")
      ->check(CLI::Range(1, 65535));
  status->add_option("--config", all.status.configPath, "The daemon's configuration file");
  app.footer(kFooter);

  auto usageError = [&](const std::string& message) {
    err << "noxtokenctl: " << message << "\n" << ShortUsage(app, argc, argv);
    return static_cast<int>(ExitCode::kUsage);
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error, out, err);  // --help, --version
    return usageError(error.what());
  }
  if (app.get_option("--token")->count() > 0 && global.token.empty()) {
    return usageError("--token: an empty token; leave the option out to use the saved one");
  }
  if (url->count() > 0 && port->count() > 0)
    return usageError("--url and --port exclude each other");

  SessionOptions options;
  const char* envUrl = std::getenv("NOXTOKEN_URL");
  options.url = !global.url.empty() ? global.url
                : global.port != 0  ? "http://localhost:" + std::to_string(global.port) + "/api"
                : envUrl != nullptr && *envUrl ? envUrl
                                               : kDefaultUrl;
  const auto endpoint = ParseHttpUrl(options.url);
  if (!endpoint) return usageError("not an http://HOST[:PORT][/PATH] URL: " + options.url);
  options.endpoint = *endpoint;
  options.mode = global.output == "json" ? OutputMode::kJson : OutputMode::kText;
  options.token = global.token;
  options.opId = global.opId;
  Session session(std::move(options), out, err);
  try {
    return static_cast<int>(chosen(session));
  } catch (const CtlError& error) {
    if (error.ShowUsage()) return usageError(error.what());
    err << "noxtokenctl: " << error.what() << "\n";
    return static_cast<int>(error.Code());
  } catch (const std::exception& error) {
    err << "noxtokenctl: " << error.what() << "\n";
    return static_cast<int>(ExitCode::kApiError);
  }
}

}  // namespace NoxCtl

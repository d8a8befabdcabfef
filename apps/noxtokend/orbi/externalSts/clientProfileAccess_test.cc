#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"
#include "platform/configstore/configStoreTestRoot.h"

namespace NoxToken {
namespace {

using Basalt::Service::Logger;
using Basalt::Service::LogRecord;
using ClientProfilesSvc::AccessGrant;
using ClientProfilesSvc::Entitlement;
using ClientProfilesSvc::Info;
using ClientProfilesSvc::ResourceType;
using ClientProfilesSvc::Subject;
using ClientProfilesSvc::SubjectType;
using NoxConfigStore::ConfigStore;
using NoxConfigStore::ConfigStoreObject;
using NoxConfigStore::FilterSpecObject;
using NoxConfigStore::SubObjectId;
using NoxConfigStore::Testing::TemporaryHostRoot;

std::shared_ptr<AccessGrant> Grant(const char* entitlement, const char* resource = "HOST") {
  auto grant = std::make_shared<AccessGrant>();
  grant->resourceType = ResourceType::FromString(resource);
  if (entitlement) grant->entitlement = Entitlement::FromString(entitlement);
  return grant;
}

ClientProfileAccess::ProfilePtr Profile(Subject subject, GrantList grants) {
  return std::make_shared<Info>(Info{std::make_shared<Subject>(std::move(subject)), grants});
}

Subject LocalUser(const std::string& name) {
  return Subject{SubjectType::LOCAL_USER, name, {}, {}};
}

std::vector<std::string> Entitlements(const ClientProfileAccess::ProfilePtr& profile) {
  std::vector<std::string> names;
  for (const auto& grant : profile->grants) {
    names.push_back(grant->entitlement ? grant->entitlement->ToString() : "-");
  }
  return names;
}

// A schema with `profiles` default local users (each HOST/ADMINISTRATOR) and flags for the first
// `flags` of them; flags < 0 declares no "nox_token_config" default at all.
std::string Schema(int profiles, int flags) {
  std::string defaults, flagList;
  for (int i = 0; i < profiles; ++i) {
    std::string name = "admin" + std::to_string(i);
    defaults += (i ? "," : "") + std::string(R"({"subObjects": [
        {"name": "subject", "values": {"type": "LOCAL_USER", "name": ")") +
                name + R"("}},
        {"name": "grants", "instance": "g", "values": {"resource_type": "HOST",
                                                       "entitlement": "ADMINISTRATOR"}}]})";
    if (i < flags) {
      flagList += (i ? "," : "") + std::string(R"({"name": "profiles_init", "instance": ")") +
                  name + R"(", "values": {"profile_name": "LU###)" + name +
                  R"(", "modified": false}})";
    }
  }
  std::string config =
      flags < 0 ? ""
                : R"(, "nox_token_config": {"defaults": [{"subObjects": [)" + flagList + "]}]}";
  return R"({"component": "nox", "group": "authentication", "keys": {
      "client_profiles": {"defaults": [)" +
         defaults + "]}" + config + "}}";
}

class ClientProfileAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLogger_ = Logger::sDefaultLogger;
    Logger::sDefaultLogger = Logger::CreateRoot("default", 7, [this](const LogRecord& record) {
      if (record.logger == "ClientProfileAccess") {
        lines_.push_back(std::to_string(record.level) + " " + std::string(record.text));
      }
    });
  }
  void TearDown() override { Logger::sDefaultLogger = savedLogger_; }

  void InstallShippedSchema() { root_.InstallSchemaFile(NOX_SCHEMA_FILE); }

  std::shared_ptr<ConfigStore> Store() {
    if (!store_) store_ = ConfigStore::Open(root_.StoreOptions());
    return store_;
  }

  std::unique_ptr<ClientProfileAccess> Start(ClientProfileAccess::SleepFunction sleep = {}) {
    if (!sleep) sleep = [](std::chrono::seconds) {};
    return std::make_unique<ClientProfileAccess>(Store(), sleep);
  }

  bool Logged(const std::string& line) const {
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }

  size_t StoredProfiles() {
    return Store()->ListInstances(FilterSpecObject(ClientProfilesId())).size();
  }

  ClientProfileAccess::Status Insert(ClientProfileAccess& access, Subject subject,
                                     GrantList grants) {
    Basalt::System::ScopedWriteLock lock(access);
    std::string name = MakeProfileName(subject);
    return access.Insert(name, Profile(std::move(subject), std::move(grants)));
  }

  ClientProfileAccess::Status Erase(ClientProfileAccess& access, const std::string& name) {
    Basalt::System::ScopedWriteLock lock(access);
    return access.Erase(name);
  }

  TemporaryHostRoot root_;
  std::shared_ptr<ConfigStore> store_;
  std::vector<std::string> lines_;
  std::shared_ptr<Logger> savedLogger_;
};

TEST_F(ClientProfileAccessTest, ShippedDefaultMakesRootAdministratorAtEveryStartUntilModified) {
  InstallShippedSchema();
  for (int start = 0; start < 2; ++start) {
    auto access = Start();
    auto root = access->FindLocalUser("root");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(access->FindByName("LU###root"), root);
    EXPECT_EQ(root->grants.size(), 1u);
    EXPECT_EQ(root->grants[0]->resourceType, ResourceType::HOST);
    EXPECT_EQ(Entitlements(root), std::vector<std::string>{"ADMINISTRATOR"});
    EXPECT_EQ(access->GetModifiedFlag("LU###root"), false);
  }
  EXPECT_EQ(StoredProfiles(), 0u);  // defaults are never written as instances
  EXPECT_TRUE(Logged("5 Populate(client_profiles)"));
  EXPECT_TRUE(Logged("5 Found 0 instances from Config Store"));
  EXPECT_TRUE(Logged("5 Successfully inserted/updated client profile: LU###root"));
  EXPECT_FALSE(Logged("5 Initializing client profile modification flags from default values"));
  EXPECT_TRUE(Store()->GetBootStatus(ClientProfilesId()));
  EXPECT_TRUE(Store()->GetBootStatus(NoxTokenConfigId()));
}

TEST_F(ClientProfileAccessTest, UpdatingTheDefaultSetsItsFlagAndTheStoredProfileWinsAfterRestart) {
  InstallShippedSchema();
  auto access = Start();
  EXPECT_EQ(access->Update("LU###root", {Grant("OPERATOR"), Grant("OPERATOR"), Grant("READ_ONLY")}),
            ClientProfileAccess::kDone);
  EXPECT_EQ(Entitlements(access->FindLocalUser("root")),
            (std::vector<std::string>{"OPERATOR", "READ_ONLY"}));
  EXPECT_EQ(access->GetModifiedFlag("LU###root"), true);

  auto config = Store()->GetObject(NoxTokenConfigId());
  auto flags = config->GetSubObjectInstances(FilterSpecObject("profiles_init"));
  ASSERT_EQ(flags.size(), 1u);
  bool modified = false;
  std::string name;
  EXPECT_TRUE(flags[0]->GetValue("modified", modified) && modified);
  EXPECT_TRUE(flags[0]->GetValue("profile_name", name) && name == "LU###root");

  access.reset();
  store_.reset();  // a fresh connection, as after a daemon restart
  lines_.clear();
  auto restarted = Start();
  EXPECT_TRUE(Logged("5 Found 1 instances from Config Store"));
  EXPECT_TRUE(Logged("5 - Local user name root"));
  EXPECT_TRUE(Logged("5 Loading LOCAL_USER"));
  EXPECT_FALSE(Logged("5 Successfully inserted/updated client profile: LU###root"));
  EXPECT_EQ(Entitlements(restarted->FindLocalUser("root")),
            (std::vector<std::string>{"OPERATOR", "READ_ONLY"}));
  // The stored instance keeps its id: a second update rewrites it rather than adding another.
  EXPECT_EQ(restarted->Update("LU###root", {Grant("ADMINISTRATOR")}), ClientProfileAccess::kDone);
  EXPECT_EQ(StoredProfiles(), 1u);
}

TEST_F(ClientProfileAccessTest, ErasingTheDefaultRemovesItForGood) {
  InstallShippedSchema();
  auto access = Start();
  EXPECT_EQ(Erase(*access, "LU###root"), ClientProfileAccess::kDone);
  EXPECT_TRUE(Logged("5 Successfully deleted client profile: LU###root"));
  EXPECT_EQ(access->FindByName("LU###root"), nullptr);
  EXPECT_EQ(access->FindLocalUser("root"), nullptr);
  EXPECT_EQ(Erase(*access, "LU###root"), ClientProfileAccess::kNotFound);
  EXPECT_TRUE(Logged("3 Failed to erase client profile, profile not found: LU###root"));

  access.reset();
  auto restarted = Start();
  EXPECT_EQ(restarted->FindByName("LU###root"), nullptr);
  EXPECT_EQ(restarted->GetModifiedFlag("LU###root"), true);
  EXPECT_TRUE(restarted->GetProfiles().empty());
}

TEST_F(ClientProfileAccessTest,
       InsertRefusesAnExistingSubjectAndKeepsSubjectsOfDifferentKindsApart) {
  auto access = Start();
  EXPECT_EQ(Insert(*access, LocalUser("alice"), {Grant("ADMINISTRATOR")}),
            ClientProfileAccess::kDone);
  EXPECT_EQ(Insert(*access, LocalUser("alice"), {Grant("OPERATOR")}),
            ClientProfileAccess::kAlreadyExists);
  EXPECT_TRUE(Logged("3 Failed to insert client profile, already exists: LU###alice"));
  EXPECT_EQ(Entitlements(access->FindLocalUser("alice")),
            std::vector<std::string>{"ADMINISTRATOR"});

  Subject externalAlice{SubjectType::EXTERNAL_USER, "alice", "idp", "corp"};
  Subject group{SubjectType::EXTERNAL_GROUP, "alice", "idp", "corp"};
  EXPECT_EQ(Insert(*access, externalAlice, {Grant("READ_ONLY")}), ClientProfileAccess::kDone);
  EXPECT_EQ(Insert(*access, group, {}), ClientProfileAccess::kDone);
  EXPECT_TRUE(access->Exists("SU#idp#corp#alice", externalAlice));
  EXPECT_EQ(Entitlements(access->FindExternalUser({"idp", "corp", "alice"})),
            std::vector<std::string>{"READ_ONLY"});
  EXPECT_TRUE(access->FindExternalGroup({"idp", "corp", "alice"})->grants.empty());
  EXPECT_EQ(access->FindExternalGroup({"idp", "other", "alice"}), nullptr);
  EXPECT_EQ(access->GetProfiles().size(), 3u);
  EXPECT_EQ(access->GetModifiedFlag("LU###alice"), std::nullopt);

  access.reset();
  auto restarted = Start();
  EXPECT_EQ(restarted->GetProfiles().size(), 3u);
  EXPECT_TRUE(restarted->FindExternalGroup({"idp", "corp", "alice"})->grants.empty());
  EXPECT_TRUE(Logged("5 - issuerAlias, domain, name: idp, corp, alice"));
  EXPECT_TRUE(Logged("5 Loading EXTERNAL_GROUP"));
}

TEST_F(ClientProfileAccessTest, DuplicateGrantsAreStoredOnce) {
  auto access = Start();
  ASSERT_EQ(Insert(*access, LocalUser("bob"),
                   {Grant("OPERATOR"), Grant(nullptr), Grant("OPERATOR"), Grant(nullptr)}),
            ClientProfileAccess::kDone);
  EXPECT_EQ(Entitlements(access->FindLocalUser("bob")),
            (std::vector<std::string>{"OPERATOR", "-", "-"}));
  auto stored = Store()->ListInstances(FilterSpecObject(ClientProfilesId()));
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]->GetSubObjectInstances(FilterSpecObject("grants")).size(), 3u);
  access.reset();
  EXPECT_EQ(Entitlements(Start()->FindLocalUser("bob")),
            (std::vector<std::string>{"OPERATOR", "-", "-"}));
}

TEST_F(ClientProfileAccessTest, ValuesThatCannotBeStoredAreRefusedAndChangeNothing) {
  auto access = Start();
  EXPECT_EQ(Insert(*access, LocalUser("carol"), {Grant("SUPERUSER")}),
            ClientProfileAccess::kStoreFailure);
  EXPECT_TRUE(Logged(
      "3 Cannot update client profile in the config store, an unknownentitlement has been found"));
  EXPECT_TRUE(Logged("3 Failed to update client profile in config store: LU###carol"));
  EXPECT_EQ(access->FindByName("LU###carol"), nullptr);

  ASSERT_EQ(Insert(*access, LocalUser("carol"), {Grant("OPERATOR")}), ClientProfileAccess::kDone);
  EXPECT_EQ(access->Update("LU###carol", {Grant("OPERATOR", "DATASTORE")}),
            ClientProfileAccess::kStoreFailure);
  EXPECT_TRUE(
      Logged("3 Cannot update client profile in the config store, the list of grants is not "
             "supported"));
  EXPECT_EQ(Entitlements(access->FindLocalUser("carol")), std::vector<std::string>{"OPERATOR"});
  EXPECT_EQ(access->Update("LU###nobody", {}), ClientProfileAccess::kNotFound);

  EXPECT_EQ(Insert(*access, Subject{SubjectType::FromString("ROBOT"), "r2", {}, {}}, {}),
            ClientProfileAccess::kStoreFailure);
  EXPECT_TRUE(
      Logged("3 Cannot update client profile in the config store, the subject type is invalid"));
  EXPECT_EQ(StoredProfiles(), 1u);
}

TEST_F(ClientProfileAccessTest, StoreWriteFailureLeavesMemoryAsItWas) {
  InstallShippedSchema();
  ASSERT_EQ(Insert(*Start(), LocalUser("dave"), {Grant("OPERATOR")}), ClientProfileAccess::kDone);

  auto options = root_.StoreOptions();
  options.readOnly = true;
  store_ = ConfigStore::Open(options);
  auto access = Start();
  ASSERT_NE(access->FindLocalUser("root"), nullptr);

  EXPECT_EQ(access->Update("LU###dave", {Grant("ADMINISTRATOR")}),
            ClientProfileAccess::kStoreFailure);
  EXPECT_EQ(Entitlements(access->FindLocalUser("dave")), std::vector<std::string>{"OPERATOR"});
  EXPECT_EQ(access->Update("LU###root", {Grant("READ_ONLY")}), ClientProfileAccess::kStoreFailure);
  EXPECT_EQ(Entitlements(access->FindLocalUser("root")), std::vector<std::string>{"ADMINISTRATOR"});
  EXPECT_EQ(access->GetModifiedFlag("LU###root"), false);
  EXPECT_EQ(Insert(*access, LocalUser("erin"), {Grant("OPERATOR")}),
            ClientProfileAccess::kStoreFailure);
  EXPECT_EQ(access->FindByName("LU###erin"), nullptr);
  EXPECT_EQ(Erase(*access, "LU###dave"), ClientProfileAccess::kStoreFailure);
  EXPECT_NE(access->FindLocalUser("dave"), nullptr);

  auto failed = std::count_if(lines_.begin(), lines_.end(), [](const std::string& line) {
    return line.rfind("3 Updating the Client Profile ", 0) == 0 &&
           line.find(" in Config Store failed: Writing nox/authentication/client_profiles[") !=
               std::string::npos;
  });
  EXPECT_EQ(failed, 3);
  EXPECT_TRUE(std::any_of(lines_.begin(), lines_.end(), [](const std::string& line) {
    return line.rfind("3 Deleting the Client Profile ", 0) == 0;
  }));
}

TEST_F(ClientProfileAccessTest, CountMismatchLogsAndAppliesNoDefault) {
  root_.InstallSchema("nox.json", Schema(3, 2));
  auto access = Start();
  EXPECT_TRUE(Logged(
      "3 The number of default client profiles DOES NOT equal the number of default 'modified' "
      "flags. Please, check the configstore default value schema files of noxtokend"));
  EXPECT_TRUE(access->GetProfiles().empty());
  EXPECT_EQ(access->GetModifiedFlag("LU###admin0"), false);
}

TEST_F(ClientProfileAccessTest, FlagsAreWrittenFromTheDefaultsWhenTheSchemaDeclaresNone) {
  root_.InstallSchema("nox.json", Schema(2, -1));
  auto access = Start();
  EXPECT_TRUE(Logged("5 Initializing client profile modification flags from default values"));
  EXPECT_TRUE(Logged("5 ConfigStore boot has finished."));
  EXPECT_FALSE(Logged("5 Waiting for ConfigStore boot to finish."));
  EXPECT_NE(access->FindLocalUser("admin0"), nullptr);
  EXPECT_NE(access->FindLocalUser("admin1"), nullptr);

  auto config = Store()->GetObject(NoxTokenConfigId());
  ASSERT_NE(config, nullptr);
  NoxConfigStore::StringList list{"x"};
  EXPECT_TRUE(config->GetValue("profiles_init", list) && list.empty());
  std::vector<std::string> names;
  for (const auto& flag : config->GetSubObjectInstances(FilterSpecObject("profiles_init"))) {
    std::string name;
    bool modified = true;
    EXPECT_TRUE(flag->GetValue("modified", modified) && !modified);
    EXPECT_TRUE(flag->GetValue("profile_name", name));
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"LU###admin0", "LU###admin1"}));
}

TEST_F(ClientProfileAccessTest, BootWaitEndsAsSoonAsTheMarkerGoes) {
  root_.InstallSchema("nox.json", Schema(1, -1));
  Store()->SetBootPhase(true);
  int sleeps = 0;
  auto access = Start([&](std::chrono::seconds duration) {
    EXPECT_EQ(duration, std::chrono::seconds(1));
    if (++sleeps == 3) Store()->SetBootPhase(false);
  });
  EXPECT_EQ(sleeps, 3);
  auto waiting =
      std::find(lines_.begin(), lines_.end(), "5 Waiting for ConfigStore boot to finish.");
  auto finished = std::find(lines_.begin(), lines_.end(), "5 ConfigStore boot has finished.");
  EXPECT_LT(waiting, finished);
  EXPECT_NE(finished, lines_.end());
  EXPECT_NE(access->FindLocalUser("admin0"), nullptr);
}

using ClientProfileAccessDeathTest = ClientProfileAccessTest;

TEST_F(ClientProfileAccessDeathTest, BootThatNeverEndsStopsTheProcess) {
  root_.InstallSchema("nox.json", Schema(1, -1));
  Store()->SetBootPhase(true);
  EXPECT_DEATH(
      {
        Logger::sDefaultLogger =
            Logger::CreateRoot("default", 7, Basalt::Service::StandardErrorSink());
        int sleeps = 0;
        // The dying child opens its own connection rather than use one that crossed a fork.
        ClientProfileAccess access(ConfigStore::Open(root_.StoreOptions()),
                                   [&sleeps](std::chrono::seconds) {
                                     if (++sleeps == ClientProfileAccess::kBootWaitSeconds) {
                                       std::fprintf(stderr, "slept 300\n");
                                     }
                                   });
      },
      "slept 300\n.* 2 ClientProfileAccess \\[\\] ConfigStore boot didn't finish in 300 seconds\n"
      "NOT_REACHED .*clientProfileAccess\\.cc:[0-9]+");
}

TEST_F(ClientProfileAccessDeathTest, TwoStoredProfilesForOneSubjectStopTheProcess) {
  for (const char* instance : {"first", "second"}) {
    ConfigStoreObject object(ClientProfilesId(instance));
    auto subject = object.CreateSubObject(SubObjectId("subject"));
    subject->SetValue("type", "LOCAL_USER");
    subject->SetValue("name", "twin");
    object.SetValueEmptyList("grants");
    Store()->WriteInstance(object);
  }
  EXPECT_DEATH({ ClientProfileAccess access(ConfigStore::Open(root_.StoreOptions())); },
               "VERIFY .*apps/noxtokend/orbi/externalSts/clientProfileAccess\\.cc:[0-9]+");
}

TEST_F(ClientProfileAccessTest, UnreadableStoredProfilesStopStartWithAnException) {
  ConfigStoreObject robot(ClientProfilesId("robot"));
  auto subject = robot.CreateSubObject(SubObjectId("subject"));
  subject->SetValue("type", "ROBOT");
  subject->SetValue("name", "r2");
  Store()->WriteInstance(robot);
  try {
    Start();
    FAIL() << "started with an invalid subject type";
  } catch (const Basalt::Exception& e) {
    EXPECT_EQ(e.GetMessage(), "Invalid subject type when loading subject from config store");
  }
  EXPECT_TRUE(Logged("5 Invalid subject type when loading subject from config store!"));

  Store()->RemoveObject(ClientProfilesId("robot"));
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(Store()->GetDatabasePath().c_str(), &raw), SQLITE_OK);
  std::unique_ptr<sqlite3, NoxConfigStore::SqliteCloser> db(raw);
  ASSERT_EQ(sqlite3_exec(raw,
                         "INSERT INTO objects VALUES ('nox', 'authentication', 'client_profiles',"
                         " 'torn', '{\"subObjects\": [')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_THROW(Start(), NoxConfigStore::ConfigStoreException);
}

TEST_F(ClientProfileAccessTest, MissingSubjectKeysAreLoggedAndReadAsEmpty) {
  ConfigStoreObject object(ClientProfilesId("partial"));
  auto subject = object.CreateSubObject(SubObjectId("subject"));
  subject->SetValue("type", "EXTERNAL_GROUP");
  subject->SetValue("name", "ops");
  subject->SetValue("issuer_alias", "idp");
  object.CreateSubObject(SubObjectId("grants", "g"))->SetValue("resource_type", "HOST");
  Store()->WriteInstance(object);
  auto access = Start();
  EXPECT_TRUE(Logged("3 Failed to acess config store key: domain"));
  auto group = access->FindExternalGroup({"idp", "", "ops"});
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(Entitlements(group), std::vector<std::string>{"-"});
  EXPECT_EQ(access->FindByName("SG#idp##ops"), group);
}

// A writer killed at an arbitrary point of its profile writes leaves a store in which every
// object is whole and every acknowledged write is present.
TEST_F(ClientProfileAccessTest, KilledWriterLeavesOnlyWholeProfiles) {
  InstallShippedSchema();
  constexpr int kAcknowledgementsBeforeKill = 40;
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeFds[0]);
    Logger::sDefaultLogger = Logger::CreateRoot("default", 0, [](const LogRecord&) {});
    auto store = ConfigStore::Open(root_.StoreOptions());
    ClientProfileAccess access(store, [](std::chrono::seconds) {});
    const GrantList variants[] = {{Grant("ADMINISTRATOR")},
                                  {Grant("OPERATOR"), Grant("READ_ONLY")},
                                  {Grant("ADMINISTRATOR"), Grant("OPERATOR"), Grant("READ_ONLY")}};
    for (int i = 0; i < 100000; ++i) {
      char ack = 'f';
      if (i % 2 == 0) {
        if (access.Update("LU###root", variants[i % 3]) == ClientProfileAccess::kDone) ack = 'u';
      } else {
        Basalt::System::ScopedWriteLock lock(access);
        Subject user = LocalUser("user" + std::to_string(i));
        if (access.Insert(MakeProfileName(user), Profile(user, variants[i % 3])) ==
            ClientProfileAccess::kDone) {
          ack = 'i';
        }
      }
      if (write(pipeFds[1], &ack, 1) != 1) _exit(2);
    }
    _exit(0);
  }
  close(pipeFds[1]);
  int inserts = 0;
  int acknowledged = 0;
  while (acknowledged < kAcknowledgementsBeforeKill) {
    pollfd readable{pipeFds[0], POLLIN, 0};
    if (poll(&readable, 1, 30000) != 1) break;
    char ack;
    if (read(pipeFds[0], &ack, 1) != 1) break;
    ASSERT_NE(ack, 'f');
    inserts += ack == 'i';
    ++acknowledged;
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(pipeFds[0]);
  ASSERT_EQ(acknowledged, kAcknowledgementsBeforeKill);
  ASSERT_TRUE(WIFSIGNALED(status));

  store_ = ConfigStore::Open(root_.StoreOptions());
  auto stored = store_->ListInstances(FilterSpecObject(ClientProfilesId()));
  ASSERT_GE(stored.size(), static_cast<size_t>(inserts));
  for (const auto& object : stored) {
    SCOPED_TRACE(object->GetId().ToString());
    auto subject = object->GetSubObject(SubObjectId("subject"));
    ASSERT_NE(subject, nullptr);
    std::string type, name;
    EXPECT_TRUE(subject->GetValue("type", type) && type == "LOCAL_USER");
    EXPECT_TRUE(subject->GetValue("name", name));
    NoxConfigStore::StringList list{"x"};
    EXPECT_TRUE(object->GetValue("grants", list) && list.empty());
    auto grants = object->GetSubObjectInstances(FilterSpecObject("grants"));
    EXPECT_TRUE(grants.size() == 1 || grants.size() == 2 || grants.size() == 3) << grants.size();
    for (const auto& grant : grants) {
      std::string resource, entitlement;
      EXPECT_TRUE(grant->GetValue("resource_type", resource) && resource == "HOST");
      EXPECT_TRUE(grant->GetValue("entitlement", entitlement) &&
                  !Entitlement::FromString(entitlement).IsUnknown());
    }
  }
  auto access = Start();
  EXPECT_EQ(access->GetModifiedFlag("LU###root"), true);
  EXPECT_GE(access->GetProfiles().size(), static_cast<size_t>(inserts) + 1);
  EXPECT_NE(access->FindLocalUser("root"), nullptr);
}

}  // namespace
}  // namespace NoxToken

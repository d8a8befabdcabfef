#include "apps/noxtokend/orbi/externalSts/clientProfileAccess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "apps/noxtokend/orbi/externalSts/clientProfileIndex.h"
#include "apps/noxtokend/orbi/externalSts/clientProfileName.h"
#include "apps/noxtokend/orbi/externalSts/grantDeduplication.h"
#include "platform/basalt/testing/messageOf.h"
#include "platform/configstore/configStoreTestRoot.h"
#include "platform/configstore/testing/faultyVfs.h"

namespace NoxToken {
namespace {

using namespace ClientProfilesSvc;
using Basalt::Service::Logger;
using NoxConfigStore::CompactInstanceId;
using NoxConfigStore::ConfigStore;
using NoxConfigStore::ConfigStoreObject;
using NoxConfigStore::SubObjectId;
using Names = std::vector<std::string>;
using Code = Basalt::Status::Code;
constexpr auto kDone = Code::kOk;
constexpr auto kStoreFailure = Code::kIOError;

std::shared_ptr<AccessGrant> Grant(const char* entitlement, const char* resource = "HOST") {
  auto grant = std::make_shared<AccessGrant>();
  grant->resourceType = ResourceType::FromString(resource);
  if (entitlement) grant->entitlement = Entitlement::FromString(entitlement);
  return grant;
}

std::shared_ptr<Info> ProfileOf(const Subject& subject, GrantList grants = {}) {
  return std::make_shared<Info>(Info{std::make_shared<const Subject>(subject), std::move(grants)});
}

Subject LocalUser(const std::string& name) {
  return Subject{SubjectType::LOCAL_USER, name, {}, {}};
}

Names Entitlements(const ClientProfileAccess::ProfilePtr& profile) {
  Names names;
  for (const auto& grant : profile->grants) {
    names.push_back(grant->resourceType.ToString() + "/" +
                    (grant->entitlement ? grant->entitlement->ToString() : "-"));
  }
  return names;
}

// A schema with `profiles` default local users and flags for the first `flags` of them; flags < 0
// declares no "nox_token_config" default at all.
std::string Schema(int profiles, int flags) {
  std::string defaults, flagList;
  for (int i = 0; i < profiles; ++i) {
    std::string name = "admin" + std::to_string(i), comma = i ? "," : "";
    defaults += comma + R"({"subObjects": [{"name": "subject", "values": {"type": "LOCAL_USER",
        "name": ")" +
                name + R"("}}, {"name": "grants", "instance": "g", "values":
        {"resource_type": "HOST", "entitlement": "ADMINISTRATOR"}}]})";
    if (i < flags) {
      flagList += comma + R"({"name": "profiles_init", "instance": ")" + name +
                  R"(", "values": {"profile_name": "LU###)" + name + R"(", "modified": false}})";
    }
  }
  return R"({"component": "nox", "group": "authentication", "keys": {"client_profiles":
      {"defaults": [)" +
         defaults + "]}" +
         (flags < 0
              ? ""
              : R"(, "nox_token_config": {"defaults": [{"subObjects": [)" + flagList + "]}]}") +
         "}}";
}

class ClientProfileAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLogger_ = Logger::sDefaultLogger;
    Logger::sDefaultLogger = Logger::CreateRoot("default", 7, [this](const auto& record) {
      if (record.logger == "ClientProfileAccess") {
        lines_.push_back(std::to_string(record.level) + " " + std::string(record.text));
      }
    });
  }
  void TearDown() override { Logger::sDefaultLogger = savedLogger_; }

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
  size_t Stored() {
    return Store()->ListInstances(NoxConfigStore::FilterSpecObject(ClientProfilesId())).size();
  }
  void WriteProfile(const char* instance, const char* type, const char* name) {
    ConfigStoreObject object(ClientProfilesId(instance));
    auto subject = object.CreateSubObject(SubObjectId("subject"));
    subject->SetValue("type", type);
    subject->SetValue("name", name);
    object.SetValueEmptyList("grants");
    Store()->WriteInstance(object);
  }

  static Code Insert(ClientProfileAccess& access, const Subject& subject, GrantList grants) {
    Basalt::System::ScopedWriteLock lock(access);
    return access.Insert(MakeProfileName(subject), ProfileOf(subject, std::move(grants))).code();
  }

  static Code Update(ClientProfileAccess& access, const char* name, GrantList grants) {
    Basalt::System::ScopedWriteLock lock(access);
    return access.Update(name, std::move(grants)).code();
  }

  static Code Erase(ClientProfileAccess& access, const char* name) {
    Basalt::System::ScopedWriteLock lock(access);
    return access.Erase(name).code();
  }

  NoxConfigStore::Testing::TemporaryHostRoot root_;
  std::shared_ptr<ConfigStore> store_;
  Names lines_;
  std::shared_ptr<Logger> savedLogger_;
};

// Updating and erasing the default across restarts, and store failures, are checked through the
// service and end to end; here what only the store shows, and restoring the default.
TEST_F(ClientProfileAccessTest, DefaultIsNeverStoredAndAnUpdateIsStoredOnce) {
  root_.InstallSchemaFile(NOX_SCHEMA_FILE);
  auto access = Start();
  EXPECT_EQ(Entitlements(access->FindLocalUser("root")), Names{"HOST/ADMINISTRATOR"});
  EXPECT_EQ(access->GetModifiedFlag("LU###root"), false);
  EXPECT_EQ(Stored(), 0u);
  EXPECT_TRUE(Store()->GetBootStatus(ClientProfilesId()));
  EXPECT_TRUE(Store()->GetBootStatus(NoxTokenConfigId()));
  EXPECT_EQ(
      Update(*access, "LU###root", {Grant("OPERATOR"), Grant("OPERATOR"), Grant("READ_ONLY")}),
      kDone);
  EXPECT_EQ(access->GetModifiedFlag("LU###root"), true);
  access = Start();
  EXPECT_EQ(Entitlements(access->FindLocalUser("root")),
            (Names{"HOST/OPERATOR", "HOST/READ_ONLY"}));
  // The stored instance keeps its id: a second update rewrites it rather than adding another.
  EXPECT_EQ(Update(*access, "LU###root", {Grant("ADMINISTRATOR")}), kDone);
  EXPECT_EQ(Stored(), 1u);

  // Restoring puts the schema's default back as at the first start, after an update or an erase.
  for (bool erase : {false, true}) {
    if (erase) {
      ASSERT_EQ(Erase(*access, "LU###root"), kDone);
    }
    EXPECT_EQ(access->RestoreDefaults(), Names{"LU###root"});
    EXPECT_EQ(Stored(), 0u);
    access = Start();
    EXPECT_EQ(access->GetModifiedFlag("LU###root"), false);
    EXPECT_EQ(Entitlements(access->FindLocalUser("root")), Names{"HOST/ADMINISTRATOR"});
  }
}

// A change of root's default, and restoring it, write the profile and its flag together. Whichever
// write or sync a full disk or a failing device breaks, a refused change leaves memory and store
// as they were (and a retry stores it), and an accepted one is what the next start reads.
TEST_F(ClientProfileAccessTest, AChangeOfTheDefaultIsStoredWholeOrNotAtAllWhereverAFaultHits) {
  root_.InstallSchemaFile(NOX_SCHEMA_FILE);
  auto& vfs = NoxConfigStore::Testing::FaultyVfs::Get();
  auto options = root_.StoreOptions();
  options.vfs = vfs.Name();
  struct Change {
    const char* what;
    std::function<Code(ClientProfileAccess&)> apply;
    Names afterwards;  // root's grants once the change is stored; empty: root is gone
  };
  const Change changes[] = {
      {"erase", [](ClientProfileAccess& access) { return Erase(access, "LU###root"); }, {}},
      {"update",
       [](ClientProfileAccess& access) { return Update(access, "LU###root", {Grant("OPERATOR")}); },
       {"HOST/OPERATOR"}},
  };
  auto restart = [&] {
    store_.reset();
    store_ = ConfigStore::Open(options);
    return Start();
  };
  // Points 0-7 fail a write (every other one), 8-11 a sync.
  auto injectFault = [&](int point) {
    point < 8 ? vfs.FailWritesAfter(point * 2) : vfs.FailSyncsAfter(point - 8);
  };
  auto expectRoot = [](const ClientProfileAccess& access, const Names& grants, bool modified) {
    auto root = access.FindLocalUser("root");
    EXPECT_EQ(root ? Entitlements(root) : Names{}, grants);
    EXPECT_EQ(access.GetModifiedFlag("LU###root"), modified);
  };
  int refused = 0;
  for (const auto& change : changes) {
    for (int point = 0; point < 12; ++point) {
      SCOPED_TRACE(std::string(change.what) + ", fault point " + std::to_string(point));
      std::filesystem::remove_all(options.directory);
      auto access = restart();
      injectFault(point);
      auto status = change.apply(*access);
      vfs.Heal();
      if (status == kStoreFailure) {
        ++refused;
        expectRoot(*access, {"HOST/ADMINISTRATOR"}, false);
        expectRoot(*restart(), {"HOST/ADMINISTRATOR"}, false);
        access = restart();
        status = change.apply(*access);
      }
      EXPECT_EQ(status, kDone);
      expectRoot(*access, change.afterwards, true);
      expectRoot(*restart(), change.afterwards, true);
    }
  }
  EXPECT_GE(refused, 4);  // at least the faults at the first write and the first sync
  const std::string flagLine =
      "3 Updating the modified flag for client profile LU###root in the configstore failed: ";
  EXPECT_EQ(std::count_if(lines_.begin(), lines_.end(),
                          [&](const std::string& line) { return line.starts_with(flagLine); }),
            refused);

  // Restoring the default after an update: the next start has root as updated or as the
  // default, never without a profile (a removal kept while its flag still said modified).
  int restoreRefused = 0;
  for (int point = 0; point < 12; ++point) {
    SCOPED_TRACE("restore, fault point " + std::to_string(point));
    std::filesystem::remove_all(options.directory);
    auto access = restart();
    ASSERT_EQ(Update(*access, "LU###root", {Grant("OPERATOR")}), kDone);
    injectFault(point);
    bool restored = true;
    try {
      access->RestoreDefaults();
    } catch (const NoxConfigStore::ConfigStoreException&) {
      restored = false;
      ++restoreRefused;
    }
    vfs.Heal();
    expectRoot(*restart(), restored ? Names{"HOST/ADMINISTRATOR"} : Names{"HOST/OPERATOR"},
               !restored);
  }
  EXPECT_GE(restoreRefused, 2);
}

TEST_F(ClientProfileAccessTest, SubjectsOfDifferentKindsAreKeptApartAndBadOnesAreRefused) {
  auto access = Start();
  EXPECT_EQ(Insert(*access, LocalUser("alice"), {Grant("ADMINISTRATOR")}), kDone);
  Subject user{SubjectType::EXTERNAL_USER, "alice", "idp", "corp"};
  EXPECT_EQ(Insert(*access, user, {Grant("READ_ONLY")}), kDone);
  EXPECT_EQ(Insert(*access, Subject{SubjectType::EXTERNAL_GROUP, "alice", "idp", "corp"}, {}),
            kDone);
  EXPECT_TRUE(access->Exists("SU#idp#corp#alice", user));
  // What cannot be stored is refused and changes nothing.
  EXPECT_EQ(Insert(*access, LocalUser("carol"), {Grant("SUPERUSER")}), Code::kInvalidArgument);
  EXPECT_EQ(Insert(*access, Subject{SubjectType::FromString("ROBOT"), "r2", {}, {}}, {}),
            Code::kInvalidArgument);
  EXPECT_EQ(Update(*access, "LU###alice", {Grant("OPERATOR", "DATASTORE")}),
            Code::kInvalidArgument);
  const std::string cannot = "3 Cannot update client profile in the config store, ";
  EXPECT_TRUE(Logged(cannot + "an unknownentitlement has been found"));
  EXPECT_TRUE(Logged(cannot + "the subject type is invalid"));
  EXPECT_TRUE(Logged(cannot + "the list of grants is not supported"));
  EXPECT_EQ(Entitlements(access->FindLocalUser("alice")), Names{"HOST/ADMINISTRATOR"});
  EXPECT_EQ(Stored(), 3u);
  access = Start();
  EXPECT_EQ(access->GetProfiles().size(), 3u);
  EXPECT_EQ(Entitlements(access->FindLocalUser("alice")), Names{"HOST/ADMINISTRATOR"});
  EXPECT_EQ(Entitlements(access->FindExternalUser({"idp", "corp", "alice"})),
            Names{"HOST/READ_ONLY"});
  EXPECT_TRUE(access->FindExternalGroup({"idp", "corp", "alice"})->grants.empty());
  EXPECT_EQ(access->FindExternalGroup({"idp", "other", "alice"}), nullptr);
}

TEST_F(ClientProfileAccessTest, DefaultsWithoutOneFlagEachAreNotApplied) {
  root_.InstallSchema("nox.json", Schema(3, 2));
  EXPECT_TRUE(Start()->GetProfiles().empty());
  EXPECT_TRUE(Logged(
      "3 The number of default client profiles DOES NOT equal the number of default 'modified' "
      "flags. Please, check the configstore default value schema files of noxtokend"));
}

TEST_F(ClientProfileAccessTest, MissingFlagsAreWrittenAsSoonAsTheBootMarkerGoes) {
  root_.InstallSchema("nox.json", Schema(2, -1));
  Store()->SetBootPhase(true);
  int sleeps = 0;
  auto access = Start([&](std::chrono::seconds duration) {
    EXPECT_EQ(duration, std::chrono::seconds(1));
    if (++sleeps == 3) Store()->SetBootPhase(false);
  });
  EXPECT_EQ(sleeps, 3);
  EXPECT_NE(access->FindLocalUser("admin1"), nullptr);
  EXPECT_EQ(access->GetModifiedFlag("LU###admin1"), false);
  auto flags = Store()
                   ->GetObject(NoxTokenConfigId())
                   ->GetSubObjectInstances(NoxConfigStore::FilterSpecObject("profiles_init"));
  ASSERT_EQ(flags.size(), 2u);
  for (const auto& flag : flags) {
    bool modified = true;
    EXPECT_TRUE(flag->GetValue("modified", modified) && !modified);
  }
  std::string name;
  EXPECT_TRUE(flags[1]->GetValue("profile_name", name) && name == "LU###admin1");
}

using ClientProfileAccessDeathTest = ClientProfileAccessTest;

TEST_F(ClientProfileAccessDeathTest, EndlessBootStopsTheProcess) {
  root_.InstallSchema("nox.json", Schema(1, -1));
  Store()->SetBootPhase(true);
  EXPECT_DEATH(
      {
        Logger::sDefaultLogger =
            Logger::CreateRoot("default", 7, Basalt::Service::StandardErrorSink());
        int sleeps = 0;
        // The dying child opens its own connection rather than use one that crossed a fork.
        ClientProfileAccess access(ConfigStore::Open(root_.StoreOptions()), [&](auto) {
          if (++sleeps == ClientProfileAccess::kBootWaitSeconds)
            std::fprintf(stderr, "slept 300\n");
        });
      },
      "slept 300\n.* ConfigStore boot didn't finish in 300 seconds\nNOT_REACHED");
  Store()->SetBootPhase(false);
}

TEST_F(ClientProfileAccessTest, UnreadableProfilesStopStartAndMissingKeysReadAsEmpty) {
  WriteProfile("robot", "ROBOT", "r2");
  EXPECT_THROW(Start(), Basalt::Exception);
  Store()->RemoveObject(ClientProfilesId("robot"));
  // Which of two objects for one subject is right is unknowable: the start is refused, by name.
  WriteProfile("first", "LOCAL_USER", "twin");
  WriteProfile("second", "LOCAL_USER", "twin");
  EXPECT_THAT(Basalt::Testing::MessageOf([&] { Start(); }),
              testing::HasSubstr("holds two client profiles named LU###twin"));
  Store()->RemoveObject(ClientProfilesId("second"));
  Store()->RemoveObject(ClientProfilesId("first"));

  ConfigStoreObject object(ClientProfilesId("partial"));
  auto subject = object.CreateSubObject(SubObjectId("subject"));
  subject->SetValue("type", "EXTERNAL_GROUP");
  subject->SetValue("name", "ops");
  subject->SetValue("issuer_alias", "idp");
  object.CreateSubObject(SubObjectId("grants", "g"))->SetValue("resource_type", "HOST");
  Store()->WriteInstance(object);
  auto group = Start()->FindByName("SG#idp##ops");
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(Entitlements(group), Names{"HOST/-"});
  EXPECT_TRUE(Logged("3 Failed to acess config store key: domain"));
}

TEST(GrantDeduplicationTest, KeepsFirstOfEachPairAndEveryGrantWithoutEntitlement) {
  auto info = std::make_shared<Info>();
  info->grants = {Grant("ADMINISTRATOR"), Grant(nullptr),   Grant("OPERATOR"),
                  Grant("ADMINISTRATOR"), Grant(nullptr),   Grant("OPERATOR", "OTHER"),
                  Grant("custom"),        Grant("custom2"), Grant("custom")};
  auto first = info->grants[0];
  DeduplicateGrants(info->grants);
  EXPECT_EQ(Entitlements(info), (Names{"HOST/ADMINISTRATOR", "HOST/-", "HOST/OPERATOR", "HOST/-",
                                       "OTHER/OPERATOR", "HOST/custom", "HOST/custom2"}));
  EXPECT_EQ(info->grants[0], first);
}

// The index orders and finds profiles by the names their subjects make, without building them:
// it must agree with the built names wherever escapes change the order ("!" sorts before "#",
// "$" after it, "\" after both letters' capitals).
TEST(ClientProfileIndexTest, OrderAndLookupsFollowTheBuiltNames) {
  const Subject subjects[] = {
      {SubjectType::LOCAL_USER, "alice", {}, {}},
      {SubjectType::LOCAL_USER, "alice!", {}, {}},
      {SubjectType::LOCAL_USER, "alice#", {}, {}},
      {SubjectType::LOCAL_USER, "alice$", {}, {}},
      {SubjectType::LOCAL_USER, "al\\ice", {}, {}},
      {SubjectType::LOCAL_USER, "", {}, {}},
      {SubjectType::EXTERNAL_GROUP, "g", "idp", "corp"},
      {SubjectType::EXTERNAL_GROUP, "g", "idp!", "corp"},
      {SubjectType::EXTERNAL_GROUP, "g", "idp#x", "corp"},
      {SubjectType::EXTERNAL_GROUP, "g", "idp", "corp#"},
      {SubjectType::EXTERNAL_GROUP, "", "idp", "corp\\"},
      {SubjectType::EXTERNAL_USER, "g", "idp", "corp"},
      {SubjectType::EXTERNAL_USER, "g", "", ""},
  };
  ClientProfileIndex index;
  std::vector<std::string> names;
  for (const Subject& subject : subjects) {
    ASSERT_TRUE(index.Insert(ProfileOf(subject), CompactInstanceId(MakeProfileName(subject))));
    names.push_back(MakeProfileName(subject));
  }
  EXPECT_FALSE(index.Insert(ProfileOf(subjects[8]), CompactInstanceId("twin")));

  // Loaded in another order and ordered once, the same as inserted one at a time.
  ClientProfileIndex loaded;
  for (auto it = std::rbegin(subjects); it != std::rend(subjects); ++it) {
    ASSERT_TRUE(loaded.Add(ProfileOf(*it), CompactInstanceId(MakeProfileName(*it))));
  }
  EXPECT_FALSE(loaded.Add(ProfileOf(subjects[0]), CompactInstanceId("twin")));
  loaded.Order();
  std::sort(names.begin(), names.end());
  for (const ClientProfileIndex* built : {&index, &loaded}) {
    std::vector<std::string> listed;
    built->ForEach([&](const ClientProfileIndex::Entry& entry) {
      listed.push_back(MakeProfileName(*entry.profile->subject));
      EXPECT_EQ(entry.instanceId.ToString(), listed.back());
    });
    EXPECT_EQ(listed, names);
  }

  for (const Subject& subject : subjects) {
    const std::string name = MakeProfileName(subject);
    const ClientProfileIndex::Entry* byName = index.Find(name);
    ASSERT_NE(byName, nullptr) << name;
    EXPECT_EQ(MakeProfileName(*byName->profile->subject), name);
    EXPECT_EQ(index.Find(ClientProfileIndex::PartsOf(subject)), byName) << name;
  }
  for (const char* absent :
       {"LU###alice\\", "LU###alice\\#x", "LU###al\\ice", "LU###al\\\\\\ice", "LU##alice",
        "LU###alice#", "LU###ALICE", "SG#corp#idp#g", "SU#idp#corp#g#", "", "#"}) {
    EXPECT_EQ(index.Find(absent), nullptr) << absent;
  }

  EXPECT_EQ(MakeProfileName(subjects[4]), "LU###al\\\\ice");
  const ClientProfileIndex::Entry* escaped = index.Find("SG#idp\\#x#corp#g");
  ASSERT_NE(escaped, nullptr);
  index.Erase(*escaped);
  EXPECT_EQ(index.Find("SG#idp\\#x#corp#g"), nullptr);
  EXPECT_EQ(index.size(), std::size(subjects) - 1);
}

}  // namespace
}  // namespace NoxToken

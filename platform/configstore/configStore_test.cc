// The configuration store over SQLite, and the encoding of its objects' content.
#include "platform/configstore/configStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/basalt/jsonHandle.h"
#include "platform/basalt/testing/messageOf.h"
#include "platform/configstore/compactInstanceId.h"
#include "platform/configstore/configStoreException.h"
#include "platform/configstore/configStoreTestRoot.h"
#include "platform/configstore/objectCodec.h"
#include "platform/configstore/plainContentReader.h"
#include "platform/configstore/testing/faultyVfs.h"

namespace NoxConfigStore {
namespace {

using Testing::TemporaryHostRoot;

ConfigStoreObjectId ProfileId(std::optional<std::string> instance = std::nullopt) {
  return ConfigStoreObjectId("client_profiles", "authentication", "nox", std::move(instance));
}

std::string Text(const ReadOnlyObject& object, const std::string& key) {
  std::string value;
  EXPECT_TRUE(object.GetValue(key, value)) << key;
  return value;
}

// A profile of `instance` whose value "n" is `n`.
ConfigStoreObject Named(const std::string& instance, const std::string& n) {
  ConfigStoreObject object(ProfileId(instance));
  object.SetValue("n", n);
  return object;
}

class ConfigStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<ConfigStore> Reopen() { return ConfigStore::Open(root_.StoreOptions()); }

  TemporaryHostRoot root_;
};

TEST_F(ConfigStoreTest, ObjectsSurviveReopenWholeAndARewriteReplacesThemWhole) {
  auto store = Reopen();
  ConfigStoreObject object(ProfileId("p1"));
  object.CreateSubObject(SubObjectId("subject"))->SetValue("name", "root");
  object.SetValueEmptyList("grants");
  object.CreateSubObject(SubObjectId("grants", "g1"))->SetValue("entitlement", "ADMINISTRATOR");
  object.CreateSubObject(SubObjectId("grants", "g2"))->SetValue("entitlement", "OPERATOR");
  object.SetValue("active", true);
  store->WriteInstance(object);
  store.reset();

  store = Reopen();
  auto loaded = store->GetObject(ProfileId("p1"));
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->GetId(), ProfileId("p1"));
  EXPECT_EQ(EncodeObjectContent(*loaded), EncodeObjectContent(object));

  ConfigStoreObject second(ProfileId("p1"));
  second.SetValue("new", "yes");
  store->WriteInstance(second);
  EXPECT_EQ(EncodeObjectContent(*store->GetObject(ProfileId("p1"))), EncodeObjectContent(second));

  store->RemoveObject(ProfileId("p1"));
  EXPECT_EQ(store->GetObject(ProfileId("p1")), nullptr);
  EXPECT_NO_THROW(store->RemoveObject(ProfileId("never-written")));
  EXPECT_THROW(store->WriteInstance(ConfigStoreObject(ProfileId())), ConfigStoreException);

  // Writes and removals that fail are reported to the observer; those that succeed are not.
  int failures = 0;
  store->SetWriteFailureObserver([&failures] { ++failures; });
  store->WriteInstance(second);
  auto options = root_.StoreOptions();
  options.readOnly = true;
  auto readOnly = ConfigStore::Open(options);
  readOnly->SetWriteFailureObserver([&failures] { ++failures; });
  EXPECT_THROW(readOnly->WriteInstance(second), ConfigStoreException);
  EXPECT_THROW(readOnly->RemoveObject(ProfileId("p1")), ConfigStoreException);
  EXPECT_EQ(failures, 2);
}

TEST_F(ConfigStoreTest, ListInstancesFiltersByKeyAndInstanceOldestFirst) {
  auto store = Reopen();
  for (const char* instance : {"b", "a", "c"}) store->WriteInstance(Named(instance, instance));
  store->WriteInstance(Named("b", "b2"));              // a rewrite keeps its place
  store->WriteObject(ConfigStoreObject(ProfileId()));  // no instance: not listed
  store->WriteInstance(ConfigStoreObject(
      ConfigStoreObjectId("trust_security_token_issuers", "authentication", "nox", "x")));

  auto all = store->ListInstances(FilterSpecObject(ProfileId()));
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(Text(*all[0], "n"), "b2");
  EXPECT_EQ(*all[1]->GetId().GetInstanceId(), "a");
  EXPECT_EQ(*all[2]->GetId().GetInstanceId(), "c");

  // Walked one at a time: the same objects in the same order.
  std::vector<std::string> walked;
  store->ForEachInstance(FilterSpecObject(ProfileId()), [&](const ConfigStoreObject& object) {
    walked.push_back(*object.GetId().GetInstanceId() + "=" + Text(object, "n"));
  });
  EXPECT_EQ(walked, (std::vector<std::string>{"b=b2", "a=a", "c=c"}));
  EXPECT_EQ(store->CountInstances(FilterSpecObject(ProfileId())), 3u);

  auto one = store->ListInstances(FilterSpecObject(ProfileId("c")));
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(Text(*one[0], "n"), "c");
  EXPECT_TRUE(store->ListInstances(FilterSpecObject("grants")).empty());
}

// Generated ids fit in 16 bytes; every other text comes back as it was.
TEST_F(ConfigStoreTest, CompactInstanceIdGivesBackTheTextItWasMadeFrom) {
  const std::string generated = Reopen()->GenerateInstanceId();
  for (const std::string& text :
       {generated, std::string("0123abcd-ef01-4567-89ab-cdef01234567"),
        std::string("0123ABCD-EF01-4567-89AB-CDEF01234567"),
        std::string("0123abcd-ef01-4567-89ab-cdef0123456"),
        std::string("0123abcd+ef01-4567-89ab-cdef01234567"), std::string("robot"), std::string()}) {
    EXPECT_EQ(CompactInstanceId(text).ToString(), text);
  }
}

TEST_F(ConfigStoreTest, SchemaDefaultsAreListedAndBackAnUnwrittenObject) {
  root_.InstallSchema("nox.json", R"({
    "component": "nox", "group": "authentication",
    "keys": {
      "client_profiles": {"defaults": [
        {"subObjects": [{"name": "subject", "values": {"name": "root"}}]},
        {"subObjects": [{"name": "subject", "values": {"name": "admin"}}]}]},
      "nox_token_config": {"defaults": [{"values": {"version": "1"}}]}
    }})");
  root_.InstallSchema("ignored.txt", "not a schema");
  auto store = Reopen();

  auto profiles = store->GetDefaultObjects(FilterSpecObject(ProfileId()));
  ASSERT_EQ(profiles.size(), 2u);
  EXPECT_EQ(Text(*profiles[1]->GetSubObject(SubObjectId("subject")), "name"), "admin");
  profiles[0]->SetValue("changed", true);  // callers get copies
  bool changed = false;
  EXPECT_FALSE(
      store->GetDefaultObjects(FilterSpecObject(ProfileId()))[0]->GetValue("changed", changed));
  EXPECT_TRUE(store->ListInstances(FilterSpecObject(ProfileId())).empty());

  ConfigStoreObjectId configId("nox_token_config", "authentication", "nox");
  auto fallback = store->GetObject(configId);
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(Text(*fallback, "version"), "1");
  ConfigStoreObject stored(configId);
  stored.SetValue("version", "2");
  store->WriteObject(stored);
  EXPECT_EQ(Text(*store->GetObject(configId), "version"), "2");
}

TEST_F(ConfigStoreTest, BootPhaseFollowsTheMarkerFileAndBootStatusIsPerKey) {
  auto store = Reopen();
  auto other = Reopen();
  std::string marker = root_.Path() + "/var/lib/tessel/configstore/booting";
  EXPECT_FALSE(store->IsBoot());
  std::ofstream(marker).put('\n');
  EXPECT_TRUE(store->IsBoot());
  other->SetBootPhase(false);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_FALSE(store->IsBoot());
  other->SetBootPhase(true);
  EXPECT_TRUE(store->IsBoot());

  EXPECT_FALSE(store->GetBootStatus(ProfileId()));
  store->SetBootStatus(ProfileId(), true);
  EXPECT_TRUE(store->GetBootStatus(ProfileId("any-instance")));
  EXPECT_FALSE(
      store->GetBootStatus(ConfigStoreObjectId("nox_token_config", "authentication", "nox")));
  store->SetBootStatus(ProfileId(), false);
  EXPECT_FALSE(store->GetBootStatus(ProfileId()));
}

TEST_F(ConfigStoreTest, DamagedFilesStopTheOpenAndDamagedContentTheRead) {
  auto options = root_.StoreOptions();
  std::string path = options.directory + "/global.db";
  auto expectOpenFailure = [&](const char* what, const std::string& message) {
    const std::string refusal = Basalt::Testing::MessageOf([&] { Reopen(); });
    EXPECT_NE(refusal.find(message), std::string::npos) << what << ": " << refusal;
  };

  {
    auto store = Reopen();
    for (int i = 0; i < 200; ++i) {
      ConfigStoreObject object(ProfileId(std::to_string(i)));
      object.SetValue("padding", std::string(200, 'p'));
      store->WriteInstance(object);
    }
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, SqliteCloser> db(raw);
    ASSERT_EQ(sqlite3_exec(raw, "UPDATE objects SET content = '{\"values\": 3' WHERE rowid = 1",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_THROW(store->GetObject(ProfileId("0")), ConfigStoreException);
    EXPECT_THROW(store->ListInstances(FilterSpecObject(ProfileId())), ConfigStoreException);
  }  // closed: the database file holds every commit
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4096 + 16);  // inside the second page
    file << std::string(3000, '\xff');
  }
  const std::string cannotOpen = "Cannot open configuration store " + path + ": ";
  expectOpenFailure("a damaged database", cannotOpen);
  std::ofstream(path, std::ios::trunc) << std::string(8192, 'x');
  expectOpenFailure("a file that is not a database", cannotOpen);
  std::ofstream(path, std::ios::trunc).flush();
  expectOpenFailure("an empty file", cannotOpen + "the database file is empty");
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  expectOpenFailure("a directory", cannotOpen);

  std::filesystem::remove(path);
  root_.InstallSchema("broken.json", R"({"component": "nox", "group": "authentication",
    "keys": {"client_profiles": {"defaults": [{"values": {"n": 1}}]}}})");
  expectOpenFailure("with a broken schema", "broken.json");
}

TEST_F(ConfigStoreTest, GlobalStoreLivesUnderTheHostRootAndIsShared) {
  auto store = ConfigStore::GetStore(sGlobalNamespace);
  EXPECT_EQ(store->GetDatabasePath(), root_.Path() + "/var/lib/tessel/configstore/global.db");
  EXPECT_EQ(store, ConfigStore::GetStore(sGlobalNamespace));
  EXPECT_TRUE(std::filesystem::exists(store->GetDatabasePath()));
}

TEST_F(ConfigStoreTest, ConcurrentWritersOnOneHandleLoseNothing) {
  auto store = Reopen();
  constexpr int kThreads = 4;
  constexpr int kWrites = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < kWrites; ++i) {
        store->WriteInstance(Named(std::to_string(t) + "-" + std::to_string(i), std::to_string(i)));
        store->ListInstances(FilterSpecObject(ProfileId()));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(Reopen()->ListInstances(FilterSpecObject(ProfileId())).size(),
            static_cast<size_t>(kThreads * kWrites));
}

// The state a batch changes: p1 rewritten, p2 removed, p3 added.
std::string Snapshot(ConfigStore& store) {
  std::string text;
  for (const auto& object : store.ListInstances(FilterSpecObject(ProfileId()))) {
    text += *object->GetId().GetInstanceId() + "=" + Text(*object, "n") + ";";
  }
  return text;
}

TEST_F(ConfigStoreTest, ABatchThatFailsToWriteOrSyncOrIsRefusedLeavesTheStoreAsItWas) {
  auto& vfs = Testing::FaultyVfs::Get();
  struct Fault {
    const char* what;
    std::function<void(ConfigStoreBatch&)> inject;
    bool storeFailed = true;  // else the batch's own check refused it
  };
  const Fault faults[] = {
      {"disk full", [&](ConfigStoreBatch&) { vfs.FailWritesAfter(0); }},
      {"disk full midway", [&](ConfigStoreBatch&) { vfs.FailWritesAfter(1); }},
      {"sync failure", [&](ConfigStoreBatch&) { vfs.FailSyncsAfter(0); }},
      {"refused by its check",
       [](ConfigStoreBatch& batch) {
         batch.BeforeCommit([] { return Basalt::Status::IOError("no record of it"); });
       },
       false},
  };
  auto options = root_.StoreOptions();
  options.vfs = vfs.Name();
  for (const auto& fault : faults) {
    std::filesystem::remove_all(options.directory);
    auto store = ConfigStore::Open(options);
    int storeFailures = 0;
    store->SetWriteFailureObserver([&] { ++storeFailures; });
    store->Commit(ConfigStoreBatch().Write(Named("p1", "old")).Write(Named("p2", "old")));
    const std::string before = Snapshot(*store);
    ConfigStoreBatch batch;
    batch.Write(Named("p1", "new")).Remove(ProfileId("p2")).Write(Named("p3", "new"));

    fault.inject(batch);
    const std::string message = Basalt::Testing::MessageOf([&] { store->Commit(batch); });
    EXPECT_NE(message, "no error") << fault.what;
    // A refused check is no store failure: the store's health is not the caller's decision.
    EXPECT_EQ(storeFailures, fault.storeFailed ? 1 : 0) << fault.what;
    EXPECT_EQ(message.ends_with("failed: refused before its commit: no record of it"),
              !fault.storeFailed)
        << message;
    vfs.Heal();
    batch.BeforeCommit([] { return Basalt::Status::Ok(); });
    EXPECT_EQ(Snapshot(*store), before) << fault.what;
    // What a crash now would leave: the files as they are, read by a new process.
    auto crashed = options;
    crashed.directory = root_.Path() + "/crashed";
    crashed.vfs.clear();
    std::filesystem::remove_all(crashed.directory);
    std::filesystem::copy(options.directory, crashed.directory);
    EXPECT_EQ(Snapshot(*ConfigStore::Open(crashed)), before) << fault.what << ", after a crash";
    store.reset();
    EXPECT_EQ(Snapshot(*Reopen()), before) << fault.what << ", as the next start reads it";

    store = ConfigStore::Open(options);
    store->Commit(batch);  // once the fault is gone the same batch goes through whole
    store.reset();
    EXPECT_EQ(Snapshot(*Reopen()), "p1=new;p3=new;") << fault.what;
  }
}

// Typed values and sub-objects, read back from the decoded copy of their encoding.
TEST(ObjectCodecTest, RoundTripKeepsTypesOrderAndAwkwardText) {
  WritableObject object;
  object.SetValue("quote", std::string("a\"b\\c#\n\xC3\xA9"));
  object.SetValue("flag", false);
  object.SetValueEmptyList("grants");
  auto nested = object.CreateSubObject(SubObjectId("z", "2"));
  nested->CreateSubObject(SubObjectId("inner"))->SetValue("list", StringList{"x", ""});
  object.CreateSubObject(SubObjectId("a", "1"));
  object.CreateSubObject(SubObjectId("a", "3"))->SetValue("n", "B");
  EXPECT_THROW(object.CreateSubObject(SubObjectId("a", "1")), ConfigStoreException);

  WritableObject decoded;
  DecodeObjectContent(EncodeObjectContent(object), decoded, "test");
  EXPECT_EQ(EncodeObjectContent(decoded), EncodeObjectContent(object));
  std::string text;
  bool flag = true;
  StringList list{"stale"};
  ASSERT_TRUE(decoded.GetValue("quote", text));
  EXPECT_EQ(text, "a\"b\\c#\n\xC3\xA9");
  EXPECT_FALSE(decoded.GetValue("quote", flag));  // text never becomes a boolean
  ASSERT_TRUE(decoded.GetValue("flag", flag));
  EXPECT_FALSE(flag);
  ASSERT_TRUE(decoded.GetValue("grants", list));
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(decoded.GetValue("missing", text));

  auto subs = decoded.GetAllSubObjects();
  ASSERT_EQ(subs.size(), 3u);
  EXPECT_EQ(subs[0]->GetSubObjectId()->GetName(), "z");  // creation order, not name order
  auto inner = subs[0]->GetSubObject(SubObjectId("inner"));
  ASSERT_NE(inner, nullptr);
  ASSERT_TRUE(inner->GetValue("list", list));
  EXPECT_EQ(list, (StringList{"x", ""}));
  EXPECT_EQ(decoded.GetSubObject(SubObjectId("inner")), nullptr);
  EXPECT_EQ(decoded.GetSubObject(SubObjectId("z")), nullptr);
  auto named = decoded.GetSubObjectInstances(FilterSpecObject("a"));
  ASSERT_EQ(named.size(), 2u);
  ASSERT_TRUE(named[1]->GetValue("n", text));
  EXPECT_EQ(text, "B");
  EXPECT_EQ(decoded.GetSubObjectInstances(FilterSpecObject("a", "3")).size(), 1u);

  // Plain text (no escapes) reads back to the same encoding.
  const std::string plain =
      R"({"values":{"a":true,"b":"x","l":["p","q"]},"subObjects":[{"values":{"v":"1"},)"
      R"("subObjects":[],"name":"s","instance":"i"},{"values":{},"subObjects":[],"name":"t"}]})";
  WritableObject fromPlain;
  DecodeObjectContent(plain, fromPlain, "test");
  EXPECT_EQ(EncodeObjectContent(fromPlain), plain);
}

TEST(ObjectCodecTest, MalformedContentIsRefused) {
  const char* bad[] = {"not json",
                       "[1]",
                       R"({"values": {"n": 3}})",
                       R"({"values": {"l": ["a", 1]}})",
                       R"({"subObjects": [{"instance": "1"}]})",
                       R"({"subObjects": [{"name": "a", "instance": 7}]})",
                       R"({"subObjects": [{"name": "a"}, {"name": "a"}]})",
                       R"({"values": {"a": "b"}} x)"};
  for (const char* text : bad) {
    WritableObject into;
    EXPECT_THROW(DecodeObjectContent(text, into, "test"), ConfigStoreException) << text;
  }
  // Text that is not JSON is explained by Jansson, with its own words.
  WritableObject into;
  EXPECT_EQ(Basalt::Testing::MessageOf(
                [&] { DecodeObjectContent(R"({"values": {"a": "b"}} x)", into, "test"); }),
            "Invalid content of test: end of file expected near 'x'");
}

// The direct reader takes plain text only, and reads it as Jansson's tree would be read.
TEST(ObjectCodecTest, PlainReaderAgreesWithTheGeneralReaderOrDeclines) {
  const struct {
    const char* text;
    bool plain;
  } cases[] = {
      {R"({"values":{"a":"\u00e9\ud83d\ude00"}})", true},  // \u escapes
      {R"({"values":{"a":"\u0000"}})", false},             // U+0000
      {R"({"values":{"a\n":"x"}})", false},                // escape in a name
      {R"({"subObjects":[{"name":"s\/"}]})", false},       // escape in a sub-object's name
      {R"({"values":{"a":"x\q"}})", false},                // not an escape
      {R"({"values":{"a":"x\"}})", false},                 // unterminated
      {"{\"values\":{\"a\":\"\\n\n\"}}", false},           // control character beside an escape
      {R"({"values":{"a":"x","a":"y"}})", false},          // duplicate value
      {R"({"values":{},"values":{}})", false},             // duplicate member
      {R"({"values":{"n":3}})", false},                    // number
      {R"({"values":{"l":["a",true]}})", false},           // non-string item
      {R"({"other":1})", false},                           // unknown member
      {R"({"subObjects":[{"instance":"1"}]})", false},     // no name
      {R"({"values":{"a":"x"}} x)", false},                // trailing text
      {"{\"values\":{\"a\":\"\xC3\"}}", false},            // invalid UTF-8
      {R"( { "values" : { "b" : [ ] , "a" : true } } )", true},
      {R"({"values":{"pem":"-----\nA\/b\r\t\b\f\"\\z","l":["x\n","\\"]}})", true},
      {R"({"subObjects":[{"name":"s","subObjects":[{"values":{"v":"é"},"name":"t"}]},)"
       R"({"instance":"2","name":"s"}]})",
       true},
  };
  for (const auto& c : cases) {
    WritableObject direct;
    ASSERT_EQ(ReadPlainObjectContent(c.text, direct), c.plain) << c.text;
    if (!c.plain) {
      EXPECT_TRUE(direct.GetValues().empty() && direct.GetAllSubObjects().empty()) << c.text;
      continue;
    }
    WritableObject general;
    Basalt::Json::JsonPtr tree(json_loads(c.text, JSON_REJECT_DUPLICATES, nullptr));
    ASSERT_TRUE(tree) << c.text;
    DecodeObjectContent(tree.get(), general, "test");
    EXPECT_EQ(EncodeObjectContent(direct), EncodeObjectContent(general)) << c.text;
  }
  // A duplicate sub-object is refused as the general reader refuses it.
  WritableObject twice;
  EXPECT_THROW(ReadPlainObjectContent(R"({"subObjects":[{"name":"a"},{"name":"a"}]})", twice),
               ConfigStoreException);
}

}  // namespace
}  // namespace NoxConfigStore

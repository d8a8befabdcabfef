#include "apps/noxtokend/audit/auditProvider.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "platform/bindings/clientProfilesSvc.h"
#include "platform/orbi/errors.h"

namespace NoxToken::Audit {
namespace {

using Orbi::Core::MethodResult;

// A profile service whose change is witnessed (or not), then stands or fails.
class ScriptedChange final : public Orbi::Core::AsyncApiProvider {
 public:
  ScriptedChange(std::shared_ptr<ChangeRecords> records, bool witnessed, bool stands)
      : records_(std::move(records)), witnessed_(witnessed), stands_(stands) {}
  std::string ToString() const override { return "ScriptedChange"; }
  void Invoke(const Orbi::Core::MethodIdentifier&, Orbi::Data::ValuePtr,
              Orbi::Core::ExecutionContextPtr context, Orbi::Core::AsyncApiResultCb cb) override {
    if (witnessed_) {
      EXPECT_TRUE(
          records_->Witness(*context, "LU###carol", TargetState{{"HOST:OPERATOR"}, {}, {}}).ok());
    }
    cb(stands_ ? MethodResult::Output(Orbi::Data::StringValue::Create("LU###carol"))
               : MethodResult::Failure(Orbi::Std::InternalServerError().ToErrorValue()),
       std::nullopt, nullptr);
  }

 private:
  std::shared_ptr<ChangeRecords> records_;
  bool witnessed_, stands_;
};

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

bool Has(const std::string& line, const std::string& part) {
  return line.find(part) != std::string::npos;
}

TEST(AuditProviderTest, AChangeIsRecordedOnceAndAFailedCommitAfterItsRecordIsRecordedToo) {
  struct Case {
    const char* what;
    bool witnessed, stands;
    std::vector<std::vector<std::string>> records;  // what each line holds
  };
  const std::string ok = R"("outcome":"ok")", refused = R"("outcome":"refused")";
  const std::string target = R"("target":"LU###carol")", after = R"("after":{"grants")";
  const Case cases[] = {
      {"recorded in its transaction", true, true, {{ok, target, after}}},
      {"its commit failed after the record", true, false, {{ok, after}, {refused, target}}},
      {"refused before its commit", false, false, {{refused}}},
      {"a service without a witness", false, true, {{ok, target}}},
  };
  for (const Case& c : cases) {
    Settings settings;
    settings.file = testing::TempDir() + "/audit-provider.log";
    std::remove(settings.file.c_str());
    auto trail =
        std::make_shared<Trail>(settings, Basalt::Service::Logger::CreateLogger("Audit"), nullptr);
    auto records = std::make_shared<ChangeRecords>(trail);
    auto provider = std::make_shared<AuditProvider>(
        std::make_shared<ScriptedChange>(records, c.witnessed, c.stands), trail,
        Orbi::Std::InternalServerError().ToErrorValue(), nullptr, nullptr, records);
    provider->Invoke({Com::Tessel::Nox::Authentication::ClientProfilesSvc::kServiceId, "create"},
                     nullptr, std::make_shared<Orbi::Core::ExecutionContext>(),
                     [](std::optional<MethodResult>, std::optional<Orbi::Core::Progress>,
                        Orbi::Core::Continuation) {});
    const auto lines = Lines(settings.file);
    ASSERT_EQ(lines.size(), c.records.size()) << c.what;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_TRUE(Has(lines[i], R"("event":"profile.created")")) << c.what << ": " << lines[i];
      for (const auto& part : c.records[i])
        EXPECT_TRUE(Has(lines[i], part)) << c.what << ": " << lines[i];
    }
  }
}

}  // namespace
}  // namespace NoxToken::Audit

#include "apps/noxtokend/storeWriteProvider.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/bindings/clientProfilesSvc.h"
#include "platform/orbi/errors.h"

namespace NoxToken::NoxTokenApi {
namespace {

namespace Profiles = Com::Tessel::Nox::Authentication::ClientProfilesSvc;

// Answers each call with its operation name; "set" says it started, then waits for `gate`.
class Recorder final : public Orbi::Core::AsyncApiProvider {
 public:
  std::string ToString() const override { return "Recorder"; }
  void Invoke(const Orbi::Core::MethodIdentifier& method, Orbi::Data::ValuePtr,
              Orbi::Core::ExecutionContextPtr, Orbi::Core::AsyncApiResultCb cb) override {
    if (method.operationName == "set") {
      started.set_value();
      gate.wait_for(std::chrono::seconds(30));  // bounded: a failed check never hangs the test
    }
    {
      std::lock_guard lock(mutex);
      calls.emplace_back(method.operationName, std::this_thread::get_id());
    }
    cb(Orbi::Core::MethodResult::Output(Orbi::Data::StringValue::Create(method.operationName)),
       std::nullopt, nullptr);
    if (method.operationName == "delete") lastDone.set_value();
  }
  std::promise<void> started;
  std::shared_future<void> gate;
  std::promise<void> lastDone;
  std::mutex mutex;
  std::vector<std::pair<std::string, std::thread::id>> calls;
};

TEST(StoreWriteProviderTest, ChangesRunInOrderOnTheWriterAndAnswerWhereTheyCameFrom) {
  auto next = std::make_shared<Recorder>();
  std::promise<void> open;
  next->gate = open.get_future().share();
  std::mutex postedMutex;
  std::vector<std::function<void()>> posted;  // the caller's loop
  StoreWriteProvider provider(
      next, 2,
      [&]() -> Orbi::Core::Enqueuer {
        return [&](std::function<void()> work) {
          std::lock_guard lock(postedMutex);
          posted.push_back(std::move(work));
        };
      },
      Orbi::Std::Error().ToErrorValue(),
      [](const Orbi::Core::MethodIdentifier&, const Orbi::Core::ExecutionContext& context) {
        return context.FindSecurity("denied") == nullptr;
      });
  std::vector<std::string> answers;
  auto call = [&](const std::string& operation, bool denied = false) {
    auto context = std::make_shared<Orbi::Core::ExecutionContext>();
    if (denied) context->securityCtx["denied"] = "1";
    provider.Invoke({Profiles::kServiceId, operation}, nullptr, context,
                    [&answers](const std::optional<Orbi::Core::MethodResult>& result, auto, auto) {
                      std::string answer = "refused";
                      if (result.has_value() && !result->HasError()) {
                        answer =
                            Orbi::Data::As<Orbi::Data::StringValue>(result->output)->GetValue();
                      }
                      answers.push_back(answer);
                    });
  };

  call("get");  // a read passes through at once
  call("set");  // holds the writer until the gate opens
  ASSERT_EQ(next->started.get_future().wait_for(std::chrono::seconds(30)),
            std::future_status::ready);
  call("create");
  call("delete");
  call("delete");  // the queue holds two: refused without running
  // A change the caller may not make takes no place: the filter inside refuses it at once.
  call("create", true);
  EXPECT_EQ(answers, (std::vector<std::string>{"get", "refused", "create"}));
  open.set_value();
  ASSERT_EQ(next->lastDone.get_future().wait_for(std::chrono::seconds(30)),
            std::future_status::ready);

  std::vector<std::function<void()>> loop;
  {
    std::lock_guard lock(postedMutex);
    loop.swap(posted);
  }
  EXPECT_EQ(answers.size(), 3u);  // nothing answered on the writer's thread
  for (auto& work : loop) work();
  EXPECT_EQ(answers,
            (std::vector<std::string>{"get", "refused", "create", "set", "create", "delete"}));
  std::lock_guard lock(next->mutex);
  ASSERT_EQ(next->calls.size(), 5u);
  EXPECT_EQ(next->calls[0].second, std::this_thread::get_id());
  EXPECT_EQ(next->calls[1].second, std::this_thread::get_id());  // the denied change
  for (size_t i = 2; i < 5; ++i) EXPECT_NE(next->calls[i].second, std::this_thread::get_id());
}

}  // namespace
}  // namespace NoxToken::NoxTokenApi

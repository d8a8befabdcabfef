#include "platform/basalt/app.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <csignal>
#include <thread>
#include <vector>

#include "platform/basalt/exception.h"
#include "platform/basalt/format.h"

namespace Basalt::Service {

namespace {

constexpr int64_t kDefaultThreads = 2;
constexpr int64_t kMaxThreads = 64;
constexpr int64_t kDefaultLogLevel = 5;
// One caller's lines a second at level 5 stay a small share of the journal's default rate limit
// for the whole unit (10,000 lines in 30 s), its first 32 s of burst included, while a caller that
// makes a few calls a second never loses one.
constexpr int64_t kDefaultCallerLogBytesPerSecond = 8192;
constexpr int64_t kMaxCallerLogBytesPerSecond = int64_t{1} << 30;

std::shared_ptr<App> sApp;
std::mutex sAppMutex;

// "log/callerBytesPerSecond": what the process log's sink allows one caller, and start-up says.
int64_t CallerLogBytesPerSecond(const Config& config) {
  int64_t bytes = kDefaultCallerLogBytesPerSecond;
  config.GetInt("log/callerBytesPerSecond", bytes);
  if (bytes < 0 || bytes > kMaxCallerLogBytesPerSecond) {
    throw Exception(
        Format("configuration key 'log/callerBytesPerSecond' must lie between 0 and %1, not %2",
               kMaxCallerLogBytesPerSecond, bytes));
  }
  return bytes;
}

}  // namespace

App::App(std::shared_ptr<const Config> config)
    : config_(std::move(config)),
      logger_(Logger::CreateLogger("App")),
      signals_(ioContext_, SIGTERM, SIGINT, SIGHUP) {
  std::signal(SIGPIPE, SIG_IGN);
  // A file past the process's size limit (LimitFSIZE=) fails its write instead of ending the
  // daemon: the audit trail refuses or logs the loss.
  std::signal(SIGXFSZ, SIG_IGN);
  callerLogBytes_ = CallerLogBytesPerSecond(*config_);
  int64_t threads = kDefaultThreads;
  config_->GetInt("http/threads", threads);
  if (threads < 1 || threads > kMaxThreads) {
    throw Exception(Format("configuration key 'http/threads' must be between 1 and %1, not %2",
                           kMaxThreads, threads));
  }
  threadCount_ = static_cast<int>(threads);
  for (int i = 0; i < threadCount_; ++i) {
    connectionLoops_.push_back(std::make_unique<boost::asio::io_context>(1));
  }
  WaitForSignal();
}

void App::WaitForSignal() {
  signals_.async_wait([this](const boost::system::error_code& error, int signal) {
    if (error) return;
    if (signal == SIGHUP) {
      logger_->Log(
          5, "Signal %1 (SIGHUP) received: files reopened; the configuration is read at start",
          signal);
      std::vector<std::function<void()>> handlers;
      {
        std::lock_guard lock(mutex_);
        handlers = hangupHandlers_;
      }
      for (const auto& handler : handlers) handler();
      WaitForSignal();
      return;
    }
    logger_->Log(5, "Signal %1 received, stopping", signal);
    Stop();
    WaitForSignal();  // a later Run() can be stopped the same way
  });
}

App::~App() { Stop(); }

void App::ReportUnreadConfigKeys() {
  std::lock_guard lock(mutex_);
  ReportUnreadConfigKeysLocked();
}

void App::ReportUnreadConfigKeysLocked() {
  if (unreadKeysReported_) return;
  unreadKeysReported_ = true;
  for (const auto& key : config_->GetUnreadKeys()) {
    logger_->Log(2, "Unknown configuration element '%1' in '%2' ignored", key,
                 config_->GetOrigin());
  }
}

void App::OnHangup(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  hangupHandlers_.push_back(std::move(handler));
}

void App::Run() {
  {
    std::lock_guard lock(mutex_);
    if (running_) throw Exception("the application is already running");
    if (stopRequested_) {
      stopRequested_ = false;
      return;
    }
    running_ = true;
    failure_ = nullptr;
    ReportUnreadConfigKeysLocked();
    if (!logBudgetReported_) {
      logBudgetReported_ = true;
      if (callerLogBytes_ > 0) {
        logger_->Log(5,
                     "Log lines of one calling host user's requests: at most %1 bytes a second, "
                     "the rest counted",
                     callerLogBytes_);
      } else {
        logger_->Log(5, "Log lines of callers' requests: not limited");
      }
    }
    ioContext_.restart();
    for (auto& loop : connectionLoops_) loop->restart();
  }
  using WorkGuard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
  std::vector<WorkGuard> work;
  work.push_back(boost::asio::make_work_guard(ioContext_));
  for (auto& loop : connectionLoops_) work.push_back(boost::asio::make_work_guard(*loop));

  std::vector<std::thread> pool;
  pool.reserve(connectionLoops_.size());
  for (auto& loop : connectionLoops_) {
    pool.emplace_back([this, &loop = *loop] { RunLoopCatching(loop); });
  }
  RunLoopCatching(ioContext_);
  for (auto& thread : pool) thread.join();

  std::exception_ptr failure;
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    stopRequested_ = false;
    failure = failure_;
  }
  if (failure) std::rethrow_exception(failure);
}

void App::RunLoopCatching(boost::asio::io_context& loop) {
  try {
    loop.run();
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
    }
    Stop();
  }
}

void App::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  ioContext_.stop();
  for (auto& loop : connectionLoops_) loop->stop();
}

boost::asio::io_context& App::NextConnectionContext() {
  size_t index = nextConnectionLoop_.fetch_add(1, std::memory_order_relaxed);
  return *connectionLoops_[index % connectionLoops_.size()];
}

boost::asio::io_context& App::CallingLoop() {
  for (auto& loop : connectionLoops_) {
    if (loop->get_executor().running_in_this_thread()) return *loop;
  }
  return ioContext_;
}

void App::RunAfter(std::chrono::microseconds delay, std::function<void()> fn) {
  auto timer = std::make_shared<boost::asio::steady_timer>(ioContext_, delay);
  // Lines the work logs belong to the call that scheduled it.
  timer->async_wait(
      [timer, fn = CarryLogContext(std::move(fn))](const boost::system::error_code& error) {
        if (!error) fn();
      });
}

void InitApp(const std::string& configPath) {
  auto config = Config::LoadFile(configPath);
  int64_t level = kDefaultLogLevel;
  config->GetInt("log/level", level);
  const int64_t callerBytes = CallerLogBytesPerSecond(*config);
  auto root = Logger::CreateRoot(
      "default", static_cast<int>(level),
      StandardErrorSink(std::make_unique<CallerBudget>(static_cast<uint64_t>(callerBytes))));
  for (const auto& element : config->GetElements("log/logger")) {
    auto name = element.attributes.find("name");
    if (name == element.attributes.end() || name->second.empty()) {
      throw Exception(Format("configuration key 'log/logger' in '%1' has no name", configPath));
    }
    int64_t loggerLevel = 0;
    if (!Config::ParseInteger(element.text, loggerLevel)) {
      throw Exception(Format("configuration key 'log/logger' for '%1' is not an integer: '%2'",
                             name->second, element.text));
    }
    root->ConfigureLevel(name->second, static_cast<int>(loggerLevel));
  }
  Logger::sDefaultLogger = root;
  auto app = std::make_shared<App>(std::move(config));
  std::lock_guard lock(sAppMutex);
  sApp = std::move(app);
}

std::shared_ptr<App> GetApp() {
  std::lock_guard lock(sAppMutex);
  return sApp;
}

}  // namespace Basalt::Service

// The application runtime: configuration, default logger and the event loop that every
// asynchronous part of the process (HTTP service, timers) runs on.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/basalt/config.h"
#include "platform/basalt/logger.h"

namespace Basalt::Service {

class App {
 public:
  // Reads "http/threads" (default 2, 1 to 64): one connection loop per pool thread, beside the
  // main loop (signals, timers, accepting) that Run()'s caller runs.
  explicit App(std::shared_ptr<const Config> config);
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  std::shared_ptr<const Config> GetConfig() const { return config_; }

  // Runs the main loop on the calling thread and the connection loops on the pool until Stop(),
  // SIGTERM or SIGINT. SIGHUP runs the hangup handlers (files reopened for log rotation) and
  // rereads no configuration; SIGPIPE is ignored from
  // construction on, so a closed peer or log reader turns into a write error, never an exit.
  // The signals are caught from construction on: one that comes before Run() ends it at once.
  // The first Run() reports unread configuration elements (below) unless that was done before.
  // An exception that escapes a handler stops the loop and is rethrown here. A Stop() that comes
  // before Run() makes that Run() return at once.
  void Run();

  // Logs, at level 3, each configuration element that nothing has read so far, once per App
  // (later calls do nothing). A daemon calls it once every key is read, before it listens, so
  // that a misspelt element is seen first. Thread-safe.
  void ReportUnreadConfigKeys();

  // Thread-safe; pending handlers are dropped, not run.
  void Stop();

  // Runs fn on a runtime thread after the delay, without holding any thread while waiting, with
  // the caller's log context (its operation id).
  void RunAfter(std::chrono::microseconds delay, std::function<void()> fn);

  // Runs `handler` on the main loop at each SIGHUP, after those added before it. Thread-safe.
  void OnHangup(std::function<void()> handler);

  // The main loop.
  boost::asio::io_context& GetIoContext() { return ioContext_; }
  // The connection loops in turn. Each runs on one thread, so a connection's handlers never
  // contend with another thread's, and no wake-up crosses threads within one exchange.
  boost::asio::io_context& NextConnectionContext();

  // The loop the calling thread runs; the main loop when it runs none (a worker thread), so work
  // posted there from elsewhere comes back to the thread that asked.
  boost::asio::io_context& CallingLoop();

  int GetThreadCount() const { return threadCount_; }

 private:
  void RunLoopCatching(boost::asio::io_context& loop);
  void WaitForSignal();
  void ReportUnreadConfigKeysLocked();

  std::shared_ptr<const Config> config_;
  std::shared_ptr<Logger> logger_;
  int threadCount_ = 2;
  int64_t callerLogBytes_ = 0;  // "log/callerBytesPerSecond"; InitApp gives the sink the same
  boost::asio::io_context ioContext_;
  boost::asio::signal_set signals_;
  std::vector<std::unique_ptr<boost::asio::io_context>> connectionLoops_;
  std::atomic<size_t> nextConnectionLoop_{0};

  std::mutex mutex_;  // guards the fields below
  bool running_ = false;
  bool stopRequested_ = false;
  bool unreadKeysReported_ = false;
  bool logBudgetReported_ = false;  // said once, as the first Run starts
  std::vector<std::function<void()>> hangupHandlers_;
  std::exception_ptr failure_;
};

// Reads the XML configuration file (throws Basalt::Exception "cannot read configuration file
// '<path>': <reason>"), sets Logger::sDefaultLogger to a stderr logger with the levels of
// "log/level" (default 5) and "log/logger" (attribute "name"), and creates the app.
void InitApp(const std::string& configPath);

// The app made by InitApp; empty before.
std::shared_ptr<App> GetApp();

}  // namespace Basalt::Service

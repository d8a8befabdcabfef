#include "apps/noxtokend/audit/auditTrail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/basalt/exception.h"
#include "platform/basalt/hostPath.h"

namespace NoxToken::Audit {

namespace {

// Makes the missing directories of `path`, each 0700; an existing directory keeps its mode.
std::string MakeParents(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::string made;
  for (const auto& part : parent) {
    made = (made.empty() || made == "/") ? made + part.string() : made + "/" + part.string();
    if (made.empty() || made == "/") continue;
    if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
      return "cannot create " + made + ": " + std::strerror(errno);
    }
  }
  return {};
}

// A failure line's text, saying how many like it were held back since the last one.
std::string WithHeldBack(std::string text, uint64_t heldBack) {
  if (heldBack > 0) text += " (" + std::to_string(heldBack) + " more since the last such line)";
  return text;
}

}  // namespace

Settings Settings::Read(const Basalt::Service::Config& config) {
  Settings settings;
  config.GetBool("audit/enabled", settings.enabled);
  config.GetBool("audit/required", settings.required);
  config.GetBool("audit/recordUnknownUserNames", settings.recordUnknownUserNames);
  std::string file = kDefaultFile;
  if (config.GetString("audit/file", file) && !file.starts_with("/")) {
    throw Basalt::Exception("configuration key 'audit/file' must be an absolute path, not '" +
                            file + "'");
  }
  settings.file = Basalt::System::HostPath(file);
  int64_t rate = 0;
  if (config.GetInt("audit/refusalBytesPerSecond", rate)) {
    if (rate < 0 || rate > Settings::kMaxRefusalBytesPerSecond) {
      throw Basalt::Exception(
          "configuration key 'audit/refusalBytesPerSecond' must lie between 0 and " +
          std::to_string(Settings::kMaxRefusalBytesPerSecond) + ", not " + std::to_string(rate));
    }
    settings.refusalBytesPerSecond = static_cast<uint64_t>(rate);
  }
  return settings;
}

Trail::Trail(Settings settings, std::shared_ptr<Basalt::Service::Logger> logger,
             std::unique_ptr<Basalt::System::Journal> journal)
    : settings_(std::move(settings)),
      logger_(std::move(logger)),
      journal_(std::move(journal)),
      refusals_(settings_.refusalBytesPerSecond) {
  fd_ = Open();
}

Trail::~Trail() {
  if (fd_ >= 0) ::close(fd_);
}

int Trail::Open() const {
  std::string failure = MakeParents(settings_.file);
  if (failure.empty()) {
    // Non-blocking so that a FIFO put at the path fails instead of hanging the call.
    int fd = ::open(settings_.file.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat status {};
    if (fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) return fd;
    failure = "cannot open " + settings_.file + ": " +
              (fd >= 0 ? std::string("not a regular file") : std::strerror(errno));
    if (fd >= 0) ::close(fd);
  }
  if (uint64_t heldBack = 0; lines_.unavailable.Due(&heldBack)) {
    logger_->Log(2, WithHeldBack("Audit trail unavailable: %1", heldBack), failure);
  }
  return -1;
}

bool Trail::Ready() {
  {
    std::shared_lock lock(mutex_);
    if (fd_ >= 0) return true;
  }
  std::unique_lock lock(mutex_);
  if (fd_ < 0) fd_ = Open();
  return fd_ >= 0;
}

void Trail::Reopen() {
  int fd = Open();
  std::unique_lock lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  torn_ = false;
}

bool Trail::WriteLine(const std::string& line) {
  if (!Ready()) return false;
  std::shared_lock lock(mutex_);
  if (fd_ < 0) return false;
  std::string_view text = line;
  std::string mended;
  if (torn_.exchange(false)) text = mended = "\n" + line;
  ssize_t written = ::write(fd_, text.data(), text.size());
  if (written == static_cast<ssize_t>(text.size())) return true;
  if (written > 0 || !mended.empty()) torn_ = true;
  const std::string why = written < 0 ? std::strerror(errno) : "short write";
  if (uint64_t heldBack = 0; lines_.writeFailed.Due(&heldBack)) {
    logger_->Log(2, WithHeldBack("Audit trail write to %1 failed: %2", heldBack), settings_.file,
                 why);
  }
  return false;
}

bool Trail::Write(const Record& record) {
  std::string line = FormatLine(record);
  if (record.event != Event::kCredentialRefused && record.event != Event::kAccessDenied) {
    return Put(record, line);
  }
  const std::optional<uint64_t> heldBefore = refusals_.Take(record.callerUid, line.size());
  if (!heldBefore) {
    if (uint64_t heldBack = 0; lines_.heldBack.Due(&heldBack)) {
      logger_->Log(3,
                   WithHeldBack("Audit records of refusals held back for caller uid %1: more "
                                "than %2 bytes a second",
                                heldBack),
                   record.callerUid ? std::to_string(*record.callerUid) : "unknown",
                   refusals_.BytesPerSecond());
    }
    return true;
  }
  if (*heldBefore == 0) return Put(record, line);
  Record counted = record;
  counted.heldBack = *heldBefore;
  return Put(counted, FormatLine(counted));
}

bool Trail::Put(const Record& record, const std::string& line) {
  bool written = WriteLine(line);
  uint64_t heldBack = 0;
  if (journal_ && !journal_->Send(JournalFields(record)) && lines_.notJournaled.Due(&heldBack)) {
    logger_->Log(3, WithHeldBack("Audit record %1 not sent to the journal", heldBack),
                 EventName(record.event));
  }
  if (!written && lines_.lost.Due(&heldBack)) {
    logger_->Log(
        2,
        WithHeldBack(settings_.required ? "Audit record %1 lost: the call that needed it is refused"
                                        : "Audit record %1 lost: the call proceeds",
                     heldBack),
        EventName(record.event));
  }
  return written;
}

}  // namespace NoxToken::Audit

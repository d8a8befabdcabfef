// The registry of trusted external token issuers: alias -> issuer name and signing certificate
// chains, with issuer -> parsed certificates and issuer -> alias lookups, mirrored in the
// configuration store (one object per alias, one sub-object per chain).
//
// Thread safety: the container does not lock by itself. Callers hold its read lock
// (Basalt::System::ScopedReadLock) around lookups and listing and its write lock
// (ScopedWriteLock) around CreateIssuer, UpdateIssuer and RemoveIssuer, which write the store
// inside that lock so that readers never see memory and store disagree; each method names the
// mode it needs (REQUIRES_SHARED / REQUIRES). The static helpers touch no shared state.
//
// A refused change (IssuerRefusal) leaves the tables as they were: conflicts, standardizing and
// parsing are checked before the store is written, and memory follows only a store write that
// succeeded.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/basalt/crypto/certificate.h"
#include "platform/basalt/logger.h"
#include "platform/basalt/result.h"
#include "platform/basalt/rwLock.h"
#include "platform/basalt/status.h"
#include "platform/basalt/threadAnnotations.h"
#include "platform/bindings/securityTokenIssuers.h"
#include "platform/configstore/configStore.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {

inline constexpr const char* kPemBeginMarker = "-----BEGIN CERTIFICATE-----";
inline constexpr const char* kPemEndMarker = "-----END CERTIFICATE-----";

// The logger of the trusted-issuer store and its service.
inline constexpr const char* kIssuersLoggerName = "SecurityTokenIssuers";

// Parsed certificates of one issuer, each once, in the order first met in its chains.
using CertificateList = std::vector<Basalt::Crypto::CertificatePtr>;

// Why the registry refused a change; its tables and the store are as they were.
struct IssuerRefusal {
  explicit IssuerRefusal(Basalt::Status why) : status(std::move(why)) {}

  // kNotFound: the alias is unknown. kAlreadyExists: `aliasTaken` and/or `issuerTaken`.
  // kInvalidArgument: `standardizing` or `parsing` lists every text that failed that step, in
  // chain order, then certificate order. kIOError: the store's text as the message.
  Basalt::Status status;
  bool aliasTaken = false;
  std::optional<IssuerAlreadyExistsInfo> issuerTaken;  // the requested issuer and its holder
  std::vector<StandardizingCertificateError> standardizing;
  std::vector<ParsingCertificateError> parsing;
};
using IssuerChange = Basalt::Result<std::monostate, IssuerRefusal>;

class CertificateChainsContainer : public Basalt::System::RwLockableMixin {
 public:
  using InfoTable = std::unordered_map<std::string, Info>;

  // Loads every stored issuer. Store failures (NoxConfigStore::ConfigStoreException) and a
  // stored certificate that no longer parses (Basalt::Exception) raise; a stored object whose
  // alias or issuer is already loaded is skipped with a log line.
  explicit CertificateChainsContainer(std::shared_ptr<NoxConfigStore::ConfigStore> store);
  // The host's global store.
  CertificateChainsContainer();

  // Lookups by reference, valid while the lock is held; nullptr when the key is absent.
  const Info* FindInfo(const std::string& alias) const REQUIRES_SHARED(this);
  const std::string* FindAliasByIssuer(const std::string& issuer) const REQUIRES_SHARED(this);
  const CertificateList* FindCertificatesByIssuer(const std::string& issuer) const
      REQUIRES_SHARED(this) {
    const auto it = certificatesByIssuer_.find(issuer);
    return it == certificatesByIssuer_.end() ? nullptr : &it->second;
  }

  bool HasAlias(const std::string& alias) const REQUIRES_SHARED(this);
  bool HasIssuer(const std::string& issuer) const REQUIRES_SHARED(this);

  // Every alias with its Info, in the table's own order, for listing; valid while the lock is
  // held.
  const InfoTable& GetInfoByAlias() const REQUIRES_SHARED(this) { return infoByAlias_; }

  // Rewrites `text` as "<begin>\n<base64 in 64-column lines>\n<end>" with white space removed.
  // False when the text is malformed (stray text close before the begin marker, anything but
  // white space after the end marker); `text` is then unspecified.
  static bool StandardizePemCertificate(const std::string& beginMarker,
                                        const std::string& endMarker, std::string& text);
  // The chains in standard form, or every text that could not be brought into it.
  static Basalt::Result<ChainList, std::vector<StandardizingCertificateError>>
  StandardizeCertificateChains(const ChainList& chains);
  // Certificates already decoded, by their standard text; decoded certificates are immutable
  // and shared between the issuers whose chains hold the same text.
  using DecodedCertificates = std::unordered_map<std::string, Basalt::Crypto::CertificatePtr>;
  // Each distinct text is parsed once, and not at all when `decoded` (optional) holds it; new
  // ones are added there. The certificates, or every text the parser refused.
  static Basalt::Result<CertificateList, std::vector<ParsingCertificateError>>
  ParseCertificateChains(const ChainList& chains, DecodedCertificates* decoded = nullptr);
  // Level 5 lines: each chain's index, then each certificate's index and text.
  static void LogCertificateChains(const Basalt::Service::Logger& logger, const ChainList& chains);

  // Runs inside a change's store transaction, right before its commit, with the issuer as it will
  // stand (null when removed); a failed status refuses the change (kIOError).
  using ChangeCheck = std::function<Basalt::Status(const Info* after)>;

  // `chains` as received. Refused with kAlreadyExists (both conflicts reported together),
  // kInvalidArgument or kIOError.
  IssuerChange CreateIssuer(const std::string& alias, const std::string& issuer,
                            const ChainList& chains, const ChangeCheck& check = nullptr)
      REQUIRES(this);
  // Refused with kNotFound, kAlreadyExists (the issuer is another alias's), kInvalidArgument or
  // kIOError. The whole store object is rewritten even when nothing changed.
  IssuerChange UpdateIssuer(const std::string& alias, const std::optional<std::string>& issuer,
                            const std::optional<ChainList>& chains,
                            const ChangeCheck& check = nullptr) REQUIRES(this);
  // Refused with kNotFound or kIOError.
  IssuerChange RemoveIssuer(const std::string& alias, const ChangeCheck& check = nullptr)
      REQUIRES(this);

 private:
  // Store writes; a refused one answers kIOError with the store's text.
  Basalt::Status WriteIssuer(const std::string& alias, const std::string& issuer,
                             const ChainList& chains, const ChangeCheck& check);
  Basalt::Status DeleteIssuer(const std::string& alias, const ChangeCheck& check);
  void LoadIssuers() REQUIRES(this);

  // Set at construction, then fixed: read without the lock.
  std::shared_ptr<NoxConfigStore::ConfigStore> store_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  InfoTable infoByAlias_ GUARDED_BY(this);
  std::unordered_map<std::string, CertificateList> certificatesByIssuer_ GUARDED_BY(this);
  std::unordered_map<std::string, std::string> aliasByIssuer_ GUARDED_BY(this);
};

using CertificateChainsContainerPtr = std::shared_ptr<CertificateChainsContainer>;

}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc

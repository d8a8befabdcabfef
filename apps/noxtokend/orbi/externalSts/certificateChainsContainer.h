// The registry of trusted external token issuers: alias -> issuer name and signing certificate
// chains, with issuer -> parsed certificates and issuer -> alias lookups, mirrored in the
// configuration store (one object per alias, one sub-object per chain).
//
// Thread safety: the container does not lock by itself. Callers hold its read lock
// (Basalt::System::ScopedReadLock) around lookups and listing and its write lock
// (ScopedWriteLock) around CreateIssuer, UpdateIssuer and RemoveIssuer, which write the store
// inside that lock so that readers never see memory and store disagree. The static helpers
// touch no shared state and need no lock.
//
// Failures of the changing operations leave the tables as they were: standardizing, parsing and
// issuer conflicts are detected before the store is written, and memory follows only a store
// write that succeeded.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/basalt/crypto/certificate.h"
#include "platform/basalt/exception.h"
#include "platform/basalt/logger.h"
#include "platform/basalt/rwLock.h"
#include "platform/bindings/securityTokenIssuers.h"
#include "platform/configstore/configStore.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {

inline constexpr const char* kPemBeginMarker = "-----BEGIN CERTIFICATE-----";
inline constexpr const char* kPemEndMarker = "-----END CERTIFICATE-----";

// The logger of the trusted-issuer store and its service.
inline constexpr const char* kIssuersLoggerName = "SecurityTokenIssuers";

// Parsed certificates of one issuer, each once, in the order first met in its chains.
using CertificateList = std::vector<Basalt::Crypto::CertificatePtr>;

// Some certificate texts failed a step; every one of them is listed, in chain order, then
// certificate order.
template <class Record>
class CertificateErrorsFailure : public Basalt::Exception {
 public:
  CertificateErrorsFailure(std::string what, std::vector<Record> errors)
      : Basalt::Exception(std::move(what)), errors_(std::move(errors)) {}
  const std::vector<Record>& GetErrors() const { return errors_; }

 private:
  std::vector<Record> errors_;
};

// Texts that could not be brought into standard PEM form.
using StandardizingCertificatesFailure = CertificateErrorsFailure<StandardizingCertificateError>;
// Standardized texts that the certificate parser refused.
using ParsingCertificatesFailure = CertificateErrorsFailure<ParsingCertificateError>;

// An update would give an alias an issuer that another alias holds.
class IssuerConflictFailure : public Basalt::Exception {
 public:
  explicit IssuerConflictFailure(IssuerAlreadyExistsInfo conflict);
  // The requested issuer and the alias that already holds it.
  const IssuerAlreadyExistsInfo& GetConflict() const { return conflict_; }

 private:
  IssuerAlreadyExistsInfo conflict_;
};

class CertificateChainsContainer : public Basalt::System::RwLockableMixin {
 public:
  using InfoTable = std::unordered_map<std::string, Info>;

  // What CreateIssuer found taken; both false when the issuer was added.
  struct CreateConflicts {
    bool aliasExists = false;
    bool issuerExists = false;
  };

  // Loads every stored issuer. Store failures (NoxConfigStore::ConfigStoreException) and a
  // stored certificate that no longer parses (ParsingCertificatesFailure) raise; a stored
  // object whose alias or issuer is already loaded is skipped with a log line.
  explicit CertificateChainsContainer(std::shared_ptr<NoxConfigStore::ConfigStore> store);
  // The host's global store.
  CertificateChainsContainer();

  // Lookups; each raises std::out_of_range when the key is absent.
  const Info& GetInfo(const std::string& alias) const;
  std::string GetAliasByIssuer(const std::string& issuer) const;
  CertificateList GetCertificatesByIssuer(const std::string& issuer) const;
  // The issuer's certificates by reference, valid while the lock is held; nullptr when absent.
  const CertificateList* FindCertificatesByIssuer(const std::string& issuer) const {
    const auto it = certificatesByIssuer_.find(issuer);
    return it == certificatesByIssuer_.end() ? nullptr : &it->second;
  }

  bool HasAlias(const std::string& alias) const;
  bool HasIssuer(const std::string& issuer) const;

  // Every alias with its Info, in the table's own order, for listing.
  const InfoTable& GetInfoByAlias() const { return infoByAlias_; }

  // Rewrites `text` as "<begin>\n<base64 in 64-column lines>\n<end>" with white space removed.
  // False when the text is malformed (stray text close before the begin marker, anything but
  // white space after the end marker); `text` is then unspecified.
  static bool StandardizePemCertificate(const std::string& beginMarker,
                                        const std::string& endMarker, std::string& text);
  // Raises StandardizingCertificatesFailure.
  static ChainList StandardizeCertificateChains(const ChainList& chains);
  // Each distinct text is parsed once. Raises ParsingCertificatesFailure.
  static CertificateList ParseCertificateChains(const ChainList& chains);
  // Level 5 lines: each chain's index, then each certificate's index and text.
  static void LogCertificateChains(const Basalt::Service::Logger& logger, const ChainList& chains);

  // Write lock held. `chains` as received. Raises StandardizingCertificatesFailure,
  // ParsingCertificatesFailure or NoxConfigStore::ConfigStoreException.
  CreateConflicts CreateIssuer(const std::string& alias, const std::string& issuer,
                               const ChainList& chains);
  // Write lock held. False when the alias is unknown. Raises IssuerConflictFailure and the
  // failures of CreateIssuer. The whole store object is rewritten even when nothing changed.
  bool UpdateIssuer(const std::string& alias, const std::optional<std::string>& issuer,
                    const std::optional<ChainList>& chains);
  // Write lock held. False when the alias is unknown. Raises ConfigStoreException.
  bool RemoveIssuer(const std::string& alias);

 private:
  void WriteIssuer(const std::string& alias, const std::string& issuer, const ChainList& chains);
  void DeleteIssuer(const std::string& alias);
  void LoadIssuers();

  std::shared_ptr<NoxConfigStore::ConfigStore> store_;
  std::shared_ptr<Basalt::Service::Logger> logger_;
  InfoTable infoByAlias_;
  std::unordered_map<std::string, CertificateList> certificatesByIssuer_;
  std::unordered_map<std::string, std::string> aliasByIssuer_;
};

using CertificateChainsContainerPtr = std::shared_ptr<CertificateChainsContainer>;

}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc

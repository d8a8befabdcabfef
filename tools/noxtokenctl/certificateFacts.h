// What an administrator checks about a signing chain: each certificate's names, validity and
// fingerprint, and the likely mistakes (a certificate out of its validity, an RSA key too short
// for the daemon, a chain whose certificates do not issue one another). Plain functions of PEM
// text.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace NoxCtl {

struct CertificateFacts {
  std::string subject;
  std::string issuer;
  std::string notBefore;  // "YYYY-MM-DD HH:MM:SS UTC"
  std::string notAfter;
  std::string sha256;  // of the DER, upper-case hex pairs joined by ':'
  bool expired = false;
  bool notYetValid = false;
  int rsaBits = 0;  // 0: not an RSA key
};

// nullopt when the text is not a readable PEM certificate.
std::optional<CertificateFacts> ReadCertificateFacts(const std::string& pem);

// One sentence per likely mistake in one chain (the certificates leaf first), each naming the
// certificate by its position and subject; empty when none.
std::vector<std::string> ChainProblems(const std::vector<std::string>& pems);

// The problems of `chains[index]` as above, and whether an earlier chain has the same
// certificates: the daemon tries every certificate of every chain in turn, so a repeated chain
// only makes each refused token cost more.
std::vector<std::string> ChainProblems(const std::vector<std::vector<std::string>>& chains,
                                       size_t index);

// The PEM text as OpenSSL writes it, or the text unchanged when it does not decode: chains
// compare equal when their certificates do, whatever their line breaks.
std::string StandardPem(const std::string& pem);

}  // namespace NoxCtl

// The transformations every submitted chain list goes through (standardizing the PEM text, then
// parsing), and the logging of chain lists: members of CertificateChainsContainer that touch no
// table.
#include <cctype>
#include <unordered_set>

#include "apps/noxtokend/orbi/externalSts/certificateChainsContainer.h"
#include "platform/basalt/exception.h"

namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc {

namespace {

constexpr size_t kPemLineLength = 64;

std::string WithoutWhiteSpace(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) result.push_back(c);
  }
  return result;
}

}  // namespace

bool CertificateChainsContainer::StandardizePemCertificate(const std::string& beginMarker,
                                                           const std::string& endMarker,
                                                           std::string& text) {
  text = WithoutWhiteSpace(text);
  const std::string begin = WithoutWhiteSpace(beginMarker);
  const std::string end = WithoutWhiteSpace(endMarker);

  // Text close before the begin marker is taken for a damaged marker; text further ahead is
  // left in the body for the parser to judge.
  const size_t beginAt = text.find(begin);
  if (beginAt != std::string::npos) {
    if (beginAt > 0 && beginAt <= begin.size()) return false;
    text.erase(beginAt, begin.size());
  }

  const size_t endAt = text.find(end);
  if (endAt != std::string::npos) {
    if (endAt + end.size() < text.size()) return false;
    text.erase(endAt);
  }

  std::string result = beginMarker + "\n";
  result.reserve(result.size() + text.size() + text.size() / kPemLineLength + 1 + endMarker.size());
  for (size_t i = 0; i < text.size(); ++i) {
    result.push_back(text[i]);
    if ((i + 1) % kPemLineLength == 0 || i + 1 == text.size()) result.push_back('\n');
  }
  result += endMarker;
  text = std::move(result);
  return true;
}

Basalt::Result<ChainList, std::vector<StandardizingCertificateError>>
CertificateChainsContainer::StandardizeCertificateChains(const ChainList& chains) {
  ChainList result;
  result.reserve(chains.size());
  std::vector<StandardizingCertificateError> errors;
  for (size_t chainIndex = 0; chainIndex < chains.size(); ++chainIndex) {
    auto standardized = std::make_shared<X509CertChain>();
    const auto& certs = chains[chainIndex]->cert_chain;
    for (size_t certIndex = 0; certIndex < certs.size(); ++certIndex) {
      std::string text = certs[certIndex];
      if (StandardizePemCertificate(kPemBeginMarker, kPemEndMarker, text)) {
        standardized->cert_chain.push_back(std::move(text));
      } else {
        errors.push_back(
            {certs[certIndex], static_cast<int64_t>(chainIndex), static_cast<int64_t>(certIndex)});
      }
    }
    result.push_back(std::move(standardized));
  }
  if (!errors.empty()) return Basalt::Unexpected{std::move(errors)};
  return result;
}

Basalt::Result<CertificateList, std::vector<ParsingCertificateError>>
CertificateChainsContainer::ParseCertificateChains(const ChainList& chains,
                                                   DecodedCertificates* decoded) {
  CertificateList result;
  std::vector<ParsingCertificateError> errors;
  std::unordered_set<std::string_view> seen;  // views into `chains`, which outlives the call
  for (size_t chainIndex = 0; chainIndex < chains.size(); ++chainIndex) {
    const auto& certs = chains[chainIndex]->cert_chain;
    for (size_t certIndex = 0; certIndex < certs.size(); ++certIndex) {
      const std::string& text = certs[certIndex];
      if (!seen.insert(text).second) continue;
      if (decoded != nullptr) {
        if (auto known = decoded->find(text); known != decoded->end()) {
          result.push_back(known->second);
          continue;
        }
      }
      try {
        result.push_back(Basalt::Crypto::CreatePEMCertificate(text.data(), text.size()));
        if (decoded != nullptr) decoded->emplace(text, result.back());
      } catch (const Basalt::Exception& e) {
        errors.push_back({text, static_cast<int64_t>(chainIndex), static_cast<int64_t>(certIndex),
                          e.GetMessage()});
      }
    }
  }
  if (!errors.empty()) return Basalt::Unexpected{std::move(errors)};
  return result;
}

void CertificateChainsContainer::LogCertificateChains(const Basalt::Service::Logger& logger,
                                                      const ChainList& chains) {
  if (!logger.IsEnabled(5)) return;
  if (chains.empty()) {
    logger.Log(5, "Empty certificate chains list!");
    return;
  }
  for (size_t chainIndex = 0; chainIndex < chains.size(); ++chainIndex) {
    logger.Log(5, "Certificate chain #%1 below:", chainIndex);
    const auto& certs = chains[chainIndex]->cert_chain;
    for (size_t certIndex = 0; certIndex < certs.size(); ++certIndex) {
      logger.Log(5, "Certificate #%1 below:\n%2", certIndex, certs[certIndex]);
    }
  }
}

}  // namespace Com::Tessel::Nox::Authentication::Trust::SecurityTokenIssuersSvc

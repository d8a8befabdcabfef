#include "tools/nox-saml-check/samlCheckCommand.h"

#include <fstream>
#include <optional>
#include <sstream>

#include "lib/ssoclient/createVerifiedSamlToken.h"
#include "tools/nox-saml-check/samlTokenJson.h"

namespace NoxTools {
namespace {

constexpr char kUsage[] = "usage: nox-saml-check TOKEN.xml CERT.pem... [--now ISO-8601-UTC]\n";
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----";

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every certificate of a PEM file, so that a file may hold a whole chain.
void AddPemCertificates(const std::string& text, SsoClient::CertificateList& certificates) {
  size_t at = text.find(kPemBegin);
  if (at == std::string::npos) throw Basalt::Exception("no PEM certificate found");
  for (; at != std::string::npos; at = text.find(kPemBegin, at + 1)) {
    certificates.push_back(
        Basalt::Crypto::CreatePEMCertificate(text.data() + at, text.size() - at));
  }
}

std::string ClassOf(const std::exception& e) {
  if (dynamic_cast<const SsoClient::ParseException*>(&e)) return "SsoClient::ParseException";
  if (dynamic_cast<const SsoClient::InvalidSignatureException*>(&e)) {
    return "SsoClient::InvalidSignatureException";
  }
  if (dynamic_cast<const SsoClient::SsoException*>(&e)) return "SsoClient::SsoException";
  if (dynamic_cast<const Basalt::Exception*>(&e)) return "Basalt::Exception";
  return "std::exception";
}

}  // namespace

int RunSamlCheck(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::vector<std::string> files;
  Basalt::System::UtcClock clock = Basalt::System::SystemUtcClock();
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--now" && i + 1 < args.size()) {
      try {
        clock = Basalt::System::FixedUtcClock(Basalt::System::DateTime(args[++i]));
      } catch (const Basalt::DateTimeFormatException& e) {
        err << "nox-saml-check: --now: " << e.GetMessage() << "\n";
        return 2;
      }
    } else if (args[i].rfind("--", 0) == 0) {
      err << kUsage;
      return 2;
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.size() < 2) {
    err << kUsage;
    return 2;
  }

  const std::optional<std::string> token = ReadFile(files[0]);
  if (!token) {
    err << "nox-saml-check: cannot read " << files[0] << "\n";
    return 2;
  }
  SsoClient::CertificateList trusted;
  for (size_t i = 1; i < files.size(); ++i) {
    const std::optional<std::string> pem = ReadFile(files[i]);
    try {
      if (!pem) throw Basalt::Exception("cannot read the file");
      AddPemCertificates(*pem, trusted);
    } catch (const Basalt::Exception& e) {
      err << "nox-saml-check: " << files[i] << ": " << e.GetMessage() << "\n";
      return 2;
    }
  }

  try {
    const auto verified = SsoClient::CreateVerifiedSamlToken(
        *token,
        [&](const SsoClient::SamlToken*) {
          return std::make_unique<SsoClient::UnguardedCertificateList>(trusted);
        },
        clock);
    out << SamlTokenToJson(*verified) << "\n";
    return 0;
  } catch (const std::exception& e) {
    out << ClassOf(e) << ": " << e.what() << "\n";
    return 1;
  }
}

}  // namespace NoxTools

// Test support: keys, certificates and signatures made by the openssl and xmlsec1 commands, so
// that tests check this library against an independent signer.
#pragma once

#include <filesystem>
#include <string>

#include "platform/basalt/testing/temporaryHostRoot.h"

namespace Basalt::Xml::Testing {

// A fresh directory, removed with everything in it; TESSEL_ROOT points at it meanwhile.
using TempDir = Basalt::Testing::TemporaryHostRoot;

enum class KeyType { kRsa2048, kEcP256, kEcP384, kEcP521 };

struct TestKey {
  std::filesystem::path keyPem;
  std::filesystem::path certPem;
  std::string certPemText;
  std::string certDerBase64;  // The certificate as it appears in ds:X509Certificate.
};

// A private key and a self-signed certificate with subject CN=`name`.
TestKey GenerateKey(const TempDir& dir, const std::string& name, KeyType type);

// Fills the empty ds:DigestValue and ds:SignatureValue of the template's signature with the
// xmlsec1 command. `idNode` names the element whose "ID" attribute references point at, as
// "namespace-uri:LocalName".
std::string SignWithXmlsec1(const TempDir& dir, const std::string& xmlTemplate, const TestKey& key,
                            const std::string& idNode);

std::string ReadTextFile(const std::filesystem::path& path);
void WriteTextFile(const std::filesystem::path& path, const std::string& text);

// Runs a shell command; throws std::runtime_error when it fails.
void RunCommand(const std::string& command);

}  // namespace Basalt::Xml::Testing

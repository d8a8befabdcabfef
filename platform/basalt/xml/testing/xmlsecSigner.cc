#include "platform/basalt/xml/testing/xmlsecSigner.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace Basalt::Xml::Testing {
namespace {

std::string Quote(const std::filesystem::path& path) {
  // Built piecewise: GCC 12 reports a false -Wrestrict on "'" + string + "'" when optimizing.
  std::string quoted(1, '\'');
  quoted.append(path.string());
  quoted.push_back('\'');
  return quoted;
}

}  // namespace

std::string ReadTextFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteTextFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void RunCommand(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

TestKey GenerateKey(const TempDir& dir, const std::string& name, KeyType type) {
  TestKey key{dir.Path() / (name + ".key.pem"), dir.Path() / (name + ".cert.pem"), "", ""};
  const char* keySpec = type == KeyType::kRsa2048  ? "rsa:2048"
                        : type == KeyType::kEcP256 ? "ec -pkeyopt ec_paramgen_curve:P-256"
                        : type == KeyType::kEcP384 ? "ec -pkeyopt ec_paramgen_curve:P-384"
                                                   : "ec -pkeyopt ec_paramgen_curve:P-521";
  RunCommand(std::string("openssl req -x509 -nodes -days 2 -newkey ") + keySpec +
             " -subj /CN=" + name + " -keyout " + Quote(key.keyPem) + " -out " +
             Quote(key.certPem) + " 2>/dev/null");
  key.certPemText = ReadTextFile(key.certPem);
  std::istringstream lines(key.certPemText);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("-----", 0) != 0) key.certDerBase64 += line;
  }
  return key;
}

std::string SignWithXmlsec1(const TempDir& dir, const std::string& xmlTemplate, const TestKey& key,
                            const std::string& idNode) {
  const std::filesystem::path in = dir.Path() / "to-sign.xml";
  const std::filesystem::path out = dir.Path() / "signed.xml";
  WriteTextFile(in, xmlTemplate);
  RunCommand("xmlsec1 --sign --privkey-pem " + Quote(key.keyPem) + "," + Quote(key.certPem) +
             " --id-attr:ID '" + idNode + "' --output " + Quote(out) + " " + Quote(in) + " 2>" +
             Quote(dir.Path() / "xmlsec1.log"));
  return ReadTextFile(out);
}

}  // namespace Basalt::Xml::Testing

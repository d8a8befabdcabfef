#include "platform/orbi/samlVerifierFilter.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/orbi/frameworkIds.h"
#include "platform/orbi/json.h"
#include "platform/orbi/openSslSignatureVerifier.h"
#include "platform/orbi/testing/joseSigner.h"

namespace Orbi::Security {
namespace {

using Basalt::Crypto::EvpPkeyHandle;
using Basalt::System::DateTime;

const DateTime kNow("2030-01-01T10:30:00Z");
const Core::MethodIdentifier kCreate{"com.tessel.nox.authentication.token", "create"};

struct SigningKey {
  EvpPkeyHandle key;
  std::string publicKeyBase64;  // DER SubjectPublicKeyInfo
};

SigningKey Generate(const std::string& type) {
  EvpPkeyHandle key = Testing::GenerateKey(type);
  std::string publicKey = Testing::PublicKeyBase64(key.get());
  return {std::move(key), std::move(publicKey)};
}

std::string Sign(const SigningKey& signer, const std::string& algorithm, const std::string& message,
                 bool ecdsaAsDer = false) {
  return Testing::Sign(signer.key.get(), algorithm, message, ecdsaAsDer);
}

class SamlVerifierFilterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = new std::map<std::string, SigningKey>();
    keys_->emplace("rsa", Generate("RSA"));
    keys_->emplace("p256", Generate("P-256"));
    keys_->emplace("p384", Generate("P-384"));
  }
  static void TearDownTestSuite() { delete keys_; }

  void SetUp() override {
    auto next = std::make_shared<Recorder>(reached_);
    // The token text names the key; "bearer" has none.
    auto extractor = [](const std::string& token) {
      auto it = keys_->find(token);
      return it == keys_->end() ? std::string() : it->second.publicKeyBase64;
    };
    filter_ = std::make_shared<AsyncSamlVerifierFilter>(
        next, CreateOpenSslSignatureVerifierFactory(), extractor, nullptr, 600,
        Basalt::System::FixedUtcClock(kNow));
  }

  // The text a client signs, written out by hand so that the filter's own form is not reused.
  static std::string Signed(const std::string& inputJson, const std::string& operation,
                            const std::string& timestamp) {
    return "{\"input\":" + inputJson + ",\"operationId\":\"" + operation +
           "\",\"serviceId\":\"com.tessel.nox.authentication.token\",\"timestamp\":\"" + timestamp +
           "\"}";
  }

  Core::ExecutionContextPtr Context(const std::string& token, const std::string& algorithm,
                                    const std::string& timestamp, const std::string& signature) {
    auto context = std::make_shared<Core::ExecutionContext>();
    context->securityCtx = {{"schemeId", kSamlHokScheme},
                            {"samlHokToken", token},
                            {"samlHokTokenAlgorithm", algorithm},
                            {"signatureTimestamp", timestamp},
                            {"signatureValue", signature}};
    return context;
  }

  // "reached" when the call went on, "unauthenticated" when refused.
  std::string Outcome(Core::ExecutionContextPtr context, const std::string& inputJson = "{}",
                      const Core::MethodIdentifier& method = kCreate) {
    reached_ = false;
    std::string refusal;
    Json::JsonPtr json(json_loads(inputJson.c_str(), 0, nullptr));
    filter_->Invoke(method, Json::FromJson(*json).value(), std::move(context),
                    [&](std::optional<Core::MethodResult> result, auto, auto) {
                      refusal =
                          result && result->HasError() ? result->error->GetErrorKind() : "answered";
                    });
    return reached_ ? "reached" : refusal;
  }

  std::string Proof(const std::string& key, const std::string& algorithm,
                    const std::string& timestamp = "2030-01-01T10:30:00Z",
                    const std::string& input = "{}", const std::string& operation = "create") {
    return Outcome(Context(key, algorithm, timestamp,
                           Sign(keys_->at(key), algorithm, Signed(input, operation, timestamp))));
  }

  struct Recorder final : Core::AsyncApiProvider {
    explicit Recorder(bool& reached) : reached(reached) {}
    std::string ToString() const override { return "Recorder"; }
    void Invoke(const Core::MethodIdentifier&, Data::ValuePtr, Core::ExecutionContextPtr,
                Core::AsyncApiResultCb) override {
      reached = true;
    }
    bool& reached;
  };

  static std::map<std::string, SigningKey>* keys_;
  bool reached_ = false;
  std::shared_ptr<AsyncSamlVerifierFilter> filter_;
};

std::map<std::string, SigningKey>* SamlVerifierFilterTest::keys_;

TEST_F(SamlVerifierFilterTest, EveryAlgorithmVerifiesWithItsKeyOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"rsa", "RS256"}, {"rsa", "RS384"},  {"rsa", "RS512"},
      {"rsa", "PS256"}, {"p256", "ES256"}, {"p384", "ES384"}};
  for (const auto& [key, algorithm] : cases) {
    EXPECT_EQ(Proof(key, algorithm), "reached") << algorithm;
    // Right signature, other key: the extractor's key is the only one that counts.
    const std::string other = key == "rsa" ? "p256" : "rsa";
    const std::string ts = "2030-01-01T10:30:00Z";
    EXPECT_EQ(Outcome(Context(other, algorithm, ts,
                              Sign(keys_->at(key), algorithm, Signed("{}", "create", ts)))),
              "unauthenticated")
        << algorithm;
  }
  // A curve that does not match the algorithm, an algorithm outside the list, a DER signature.
  EXPECT_EQ(Proof("p384", "ES256"), "unauthenticated");
  EXPECT_EQ(Proof("rsa", "HS256"), "unauthenticated");
  const std::string ts = "2030-01-01T10:30:00Z";
  EXPECT_EQ(Outcome(Context("p256", "ES256", ts,
                            Sign(keys_->at("p256"), "ES256", Signed("{}", "create", ts), true))),
            "unauthenticated");
}

TEST_F(SamlVerifierFilterTest, TimestampWindowIs600SecondsEitherWay) {
  EXPECT_EQ(Proof("rsa", "RS256", "2030-01-01T10:20:00Z"), "reached");
  EXPECT_EQ(Proof("p256", "ES256", "2030-01-01T10:40:00Z"), "reached");
  EXPECT_EQ(Proof("rsa", "RS256", "2030-01-01T10:19:59Z"), "unauthenticated");
  EXPECT_EQ(Proof("rsa", "RS256", "2030-01-01T10:40:01Z"), "unauthenticated");
  EXPECT_EQ(Proof("rsa", "RS256", "yesterday"), "unauthenticated");
}

TEST_F(SamlVerifierFilterTest, ProofCoversInputOperationAndTimestamp) {
  const std::string ts = "2030-01-01T10:30:00Z";
  const std::string input = R"({"profile":"x","spec":{"grants":[]}})";
  auto proofOver = [&](const std::string& signedText) {
    return Sign(keys_->at("rsa"), "RS256", signedText);
  };
  // Members in any order on the wire: the canonical form sorts them.
  EXPECT_EQ(Outcome(Context("rsa", "RS256", ts, proofOver(Signed(input, "create", ts))),
                    R"({"spec":{"grants":[]},"profile":"x"})"),
            "reached");
  EXPECT_EQ(Outcome(Context("rsa", "RS256", ts, proofOver(Signed(input, "create", ts))),
                    R"({"profile":"y","spec":{"grants":[]}})"),
            "unauthenticated");
  EXPECT_EQ(Outcome(Context("rsa", "RS256", ts, proofOver(Signed("{}", "create", ts))), "{}",
                    {"com.tessel.nox.authentication.token", "verify"}),
            "unauthenticated");
  EXPECT_EQ(Outcome(Context("rsa", "RS256", ts, proofOver(Signed("{}", "create", ts))), "{}",
                    {"com.tessel.nox.authentication.verification", "create"}),
            "unauthenticated");
  EXPECT_EQ(Outcome(Context("rsa", "RS256", "2030-01-01T10:30:01Z",
                            proofOver(Signed("{}", "create", ts)))),
            "unauthenticated");
  // "_type" is not part of the clean encoding the client signs.
  EXPECT_EQ(Outcome(Context("rsa", "RS256", ts, proofOver(Signed("{}", "create", ts))),
                    R"({"_type":"x"})"),
            "reached");
}

TEST_F(SamlVerifierFilterTest, RefusesMissingOrBrokenProofs) {
  const std::string ts = "2030-01-01T10:30:00Z";
  const std::string good = Sign(keys_->at("rsa"), "RS256", Signed("{}", "create", ts));
  EXPECT_EQ(Outcome(Context("bearer", "RS256", ts, good)), "unauthenticated");
  EXPECT_EQ(Outcome(Context("rsa", "RS256", ts, "")), "unauthenticated");
  EXPECT_EQ(Outcome(Context("rsa", "RS256", ts, "%%%")), "unauthenticated");
  std::string flipped = good;
  flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
  EXPECT_EQ(Outcome(Context("rsa", "RS256", ts, flipped)), "unauthenticated");
  auto noSignature = Context("rsa", "RS256", ts, good);
  noSignature->securityCtx.erase("signatureValue");
  EXPECT_EQ(Outcome(noSignature), "unauthenticated");
  // No canonical form: an integer beyond 2^53.
  EXPECT_EQ(Outcome(Context("rsa", "RS256", ts, good), R"({"n":9007199254740993})"),
            "unauthenticated");
}

TEST_F(SamlVerifierFilterTest, OtherCallsPassUntouched) {
  auto oauth = std::make_shared<Core::ExecutionContext>();
  oauth->securityCtx = {{"schemeId", kOAuthScheme}, {"accessToken", "x"}};
  EXPECT_EQ(Outcome(oauth), "reached");
  EXPECT_EQ(Outcome(std::make_shared<Core::ExecutionContext>()), "reached");
  // Without an algorithm the holder-of-key handler does not authenticate, so nothing to prove.
  auto noAlgorithm = Context("rsa", "RS256", "x", "x");
  noAlgorithm->securityCtx.erase("samlHokTokenAlgorithm");
  EXPECT_EQ(Outcome(noAlgorithm), "reached");
}

}  // namespace
}  // namespace Orbi::Security

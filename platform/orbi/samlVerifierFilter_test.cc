#include "platform/orbi/samlVerifierFilter.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

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
const std::string kTs = "2030-01-01T10:30:00Z";  // a proof's time: now
const Core::MethodIdentifier kCreate{"com.tessel.nox.authentication.token", "create"};

class SamlVerifierFilterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const auto& [name, type] : {std::pair{"rsa", "RSA"}, {"p256", "P-256"}, {"p384", "P-384"}})
      keys_.emplace(name, Testing::GenerateKey(type));
  }
  static void TearDownTestSuite() { keys_.clear(); }

  void SetUp() override {
    auto next = std::make_shared<Recorder>(reached_);
    // The token text names the key; "bearer" has none.
    auto extractor = [](const std::string& token) {
      auto it = keys_.find(token);
      if (it == keys_.end()) return SamlConfirmation{};
      return SamlConfirmation{Testing::PublicKeyBase64(it->second.get()),
                              std::make_shared<Core::VerifiedCredential>()};
    };
    filter_ = std::make_shared<AsyncSamlVerifierFilter>(
        next, CreateOpenSslSignatureVerifierFactory(), extractor, nullptr, 600,
        Basalt::System::FixedUtcClock(kNow), replays_);
  }

  // A client's proof for a call of kCreate; the text it signs is written out by hand so that the
  // filter's own form is not reused.
  static std::string Proof(const std::string& key, const std::string& algorithm,
                           const std::string& timestamp = kTs, const std::string& inputJson = "{}",
                           bool ecdsaAsDer = false) {
    return Testing::Sign(keys_.at(key).get(), algorithm,
                         "{\"input\":" + inputJson +
                             ",\"operationId\":\"create\",\"serviceId\":\"com.tessel.nox."
                             "authentication.token\",\"timestamp\":\"" +
                             timestamp + "\"}",
                         ecdsaAsDer);
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

  // "reached" when the call went on with the extractor's verified assertion (a holder-of-key call)
  // or without one (any other), "unauthenticated" when refused.
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

  struct Recorder final : Core::AsyncApiProvider {
    explicit Recorder(bool& reached) : reached(reached) {}
    std::string ToString() const override { return "Recorder"; }
    void Invoke(const Core::MethodIdentifier&, Data::ValuePtr, Core::ExecutionContextPtr context,
                Core::AsyncApiResultCb) override {
      const std::string* scheme = context->FindSecurity(kSchemeIdKey);
      const bool holderOfKey = scheme && *scheme == kSamlHokScheme &&
                               context->FindSecurity(kSamlHokTokenKey) &&
                               context->FindSecurity(kSamlHokAlgorithmKey);
      reached = holderOfKey == (context->verifiedCredential != nullptr);
    }
    bool& reached;
  };

  inline static std::map<std::string, EvpPkeyHandle> keys_;
  bool reached_ = false;
  std::shared_ptr<ProofReplayGuard> replays_ = std::make_shared<ProofReplayGuard>();
  std::shared_ptr<AsyncSamlVerifierFilter> filter_;
};

TEST_F(SamlVerifierFilterTest, ProofVerifiesWithTheNamedKeyByItsAlgorithmWithin600Seconds) {
  struct Case {
    const char* algorithm;
    const char* signer;
    const char* key;  // the one the token names
    const char* timestamp;
    bool reached;
  } cases[] = {
      {"RS256", "rsa", "rsa", "2030-01-01T10:20:00Z", true},
      {"RS384", "rsa", "rsa", "2030-01-01T10:30:00Z", true},
      {"RS512", "rsa", "rsa", "2030-01-01T10:30:00Z", true},
      {"PS256", "rsa", "rsa", "2030-01-01T10:30:00Z", true},
      {"ES256", "p256", "p256", "2030-01-01T10:40:00Z", true},
      {"ES384", "p384", "p384", "2030-01-01T10:30:00Z", true},
      {"RS256", "rsa", "p256", "2030-01-01T10:30:00Z", false},
      {"ES256", "p256", "rsa", "2030-01-01T10:30:00Z", false},
      {"ES256", "p384", "p384", "2030-01-01T10:30:00Z", false},
      {"HS256", "rsa", "rsa", "2030-01-01T10:30:00Z", false},
      {"RS256", "rsa", "rsa", "2030-01-01T10:19:59Z", false},
      {"RS256", "rsa", "rsa", "2030-01-01T10:40:01Z", false},
      {"RS256", "rsa", "rsa", "yesterday", false},
  };
  for (const Case& c : cases) {
    const std::string proof = Proof(c.signer, c.algorithm, c.timestamp);
    EXPECT_EQ(Outcome(Context(c.key, c.algorithm, c.timestamp, proof)),
              c.reached ? "reached" : "unauthenticated")
        << c.algorithm << " by " << c.signer << " for " << c.key << " at " << c.timestamp;
  }
}

// ES512 serves issuers' JWTs; a proof of possession does not offer it.
TEST(OpenSslSignatureVerifierTest, Es512IsNotOfferedToProofs) {
  const EvpPkeyHandle key = Testing::GenerateKey("P-521");
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key.get(), &der);
  ASSERT_GT(length, 0);
  const std::vector<uint8_t> publicKey(der, der + length);
  OPENSSL_free(der);
  EXPECT_EQ(CreateOpenSslSignatureVerifierFactory()->Create("ES512", publicKey), nullptr);
  EXPECT_TRUE(CreateOpenSslSignatureVerifier("ES512", EvpPkeyHandle(EVP_PKEY_dup(key.get()))));
}

TEST_F(SamlVerifierFilterTest, ProofCoversInputOperationAndTimestamp) {
  const std::string proof = Proof("rsa", "RS256", kTs, R"({"profile":"x","spec":{"grants":[]}})");
  const std::string empty = Proof("rsa", "RS256");
  auto emptyCall = [&] { return Context("rsa", "RS256", kTs, empty); };
  // Each proof is refused before it is accepted: a proof once accepted is refused as a replay,
  // which would hide what a later refusal is about.
  EXPECT_EQ(Outcome(Context("rsa", "RS256", kTs, proof), R"({"profile":"y","spec":{"grants":[]}})"),
            "unauthenticated");
  // Members in any order on the wire: the canonical form sorts them.
  EXPECT_EQ(Outcome(Context("rsa", "RS256", kTs, proof), R"({"spec":{"grants":[]},"profile":"x"})"),
            "reached");
  EXPECT_EQ(Outcome(emptyCall(), "{}", {kCreate.interfaceId, "verify"}), "unauthenticated");
  EXPECT_EQ(Outcome(emptyCall(), "{}", {"com.tessel.nox.authentication.verification", "create"}),
            "unauthenticated");
  EXPECT_EQ(Outcome(Context("rsa", "RS256", "2030-01-01T10:30:01Z", empty)), "unauthenticated");
  // No canonical form: an integer beyond 2^53.
  EXPECT_EQ(Outcome(emptyCall(), R"({"n":9007199254740993})"), "unauthenticated");
  // "_type" is not part of the clean encoding the client signs.
  EXPECT_EQ(Outcome(emptyCall(), R"({"_type":"x"})"), "reached");
}

TEST_F(SamlVerifierFilterTest, RefusesMissingOrBrokenProofsAndPassesOtherCalls) {
  const std::string good = Proof("rsa", "RS256");
  EXPECT_EQ(Outcome(Context("bearer", "RS256", kTs, good)), "unauthenticated");
  EXPECT_EQ(Outcome(Context("rsa", "RS256", kTs, "")), "unauthenticated");
  EXPECT_EQ(Outcome(Context("rsa", "RS256", kTs, "%%%")), "unauthenticated");
  auto noSignature = Context("rsa", "RS256", kTs, good);
  noSignature->securityCtx.erase("signatureValue");
  EXPECT_EQ(Outcome(noSignature), "unauthenticated");
  const std::string der = Proof("p256", "ES256", kTs, "{}", true);
  EXPECT_EQ(Outcome(Context("p256", "ES256", kTs, der)), "unauthenticated");
  // Calls of other schemes, or holder-of-key ones without an algorithm, have nothing to prove.
  auto oauth = std::make_shared<Core::ExecutionContext>();
  oauth->securityCtx = {{"schemeId", kOAuthScheme}, {"accessToken", "x"}};
  EXPECT_EQ(Outcome(oauth), "reached");
  EXPECT_EQ(Outcome(std::make_shared<Core::ExecutionContext>()), "reached");
  auto noAlgorithm = Context("rsa", "RS256", "x", "x");
  noAlgorithm->securityCtx.erase("samlHokTokenAlgorithm");
  EXPECT_EQ(Outcome(noAlgorithm), "reached");
}

TEST_F(SamlVerifierFilterTest, AProofIsAcceptedOnce) {
  const std::string proof = Proof("rsa", "RS256");
  std::string flipped = proof;
  flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
  // ECDSA signs the same text differently each time: still the same proof.
  const std::string once = Proof("p256", "ES256"), again = Proof("p256", "ES256");
  ASSERT_NE(once, again);
  const std::string later = "2030-01-01T10:30:00.5Z";
  const std::vector<std::tuple<std::string, std::string, std::string, std::string>> calls = {
      {"rsa", "RS256", kTs, flipped},  // a forgery is refused and takes no place
      {"rsa", "RS256", kTs, proof},
      {"rsa", "RS256", kTs, proof},
      {"p256", "ES256", kTs, once},
      {"p256", "ES256", kTs, again},
      {"rsa", "RS256", later, Proof("rsa", "RS256", later)},
  };
  std::vector<std::string> outcomes;
  for (const auto& [key, algorithm, timestamp, signature] : calls) {
    outcomes.push_back(Outcome(Context(key, algorithm, timestamp, signature)));
  }
  EXPECT_EQ(outcomes, (std::vector<std::string>{"unauthenticated", "reached", "unauthenticated",
                                                "reached", "unauthenticated", "reached"}));
  EXPECT_EQ(replays_->Size(), 3u);
}

TEST(ProofReplayGuardTest, RemembersUntilExpiryAndRefusesNewProofsWhenFull) {
  using Verdict = ProofReplayGuard::Verdict;
  ProofReplayGuard guard(2);
  const auto a = ProofReplayGuard::Identify("RS256", "k", "a");
  const auto b = ProofReplayGuard::Identify("RS256", "k", "b");
  const auto c = ProofReplayGuard::Identify("RS256", "k", "c");
  EXPECT_NE(ProofReplayGuard::Identify("RS256", "kc", ""),
            ProofReplayGuard::Identify("RS256", "k", "c"));
  const struct {
    ProofReplayGuard::ProofId proof;
    int64_t now, expiresAt;
    Verdict verdict;
  } steps[] = {
      {a, 0, 10, Verdict::kFresh},  {a, 10, 10, Verdict::kReplayed},  // kept through its expiry
      {b, 5, 20, Verdict::kFresh},  {c, 6, 30, Verdict::kFull},       // refused, not forgotten
      {a, 11, 21, Verdict::kFresh}, {c, 20, 30, Verdict::kFull},
      {c, 21, 30, Verdict::kFresh},  // b expired
  };
  for (const auto& step : steps) {
    EXPECT_EQ(guard.Admit(step.proof, step.now, step.expiresAt), step.verdict) << step.now;
  }
  EXPECT_EQ(guard.Size(), 2u);

  // Through the table's growth and sweeps: each proof once, none forgotten while live.
  ProofReplayGuard large(1000);
  std::vector<ProofReplayGuard::ProofId> proofs;
  for (int i = 0; i < 1001; ++i) {
    proofs.push_back(ProofReplayGuard::Identify("ES256", "k", std::to_string(i)));
  }
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(large.Admit(proofs[i], i, 2000 + i), Verdict::kFresh);
  EXPECT_EQ(large.Admit(proofs[1000], 1000, 5000), Verdict::kFull);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(large.Admit(proofs[i], 1999, 5000), Verdict::kReplayed);
  EXPECT_EQ(large.Admit(proofs[1000], 2002, 5000), Verdict::kFresh);  // the first two expired
  EXPECT_EQ(large.Admit(proofs[0], 2002, 5000), Verdict::kFresh);
  EXPECT_EQ(large.Size(), 1000u);
}

}  // namespace
}  // namespace Orbi::Security

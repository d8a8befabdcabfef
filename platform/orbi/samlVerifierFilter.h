// The SAML signature filter: a holder-of-key call proves that its caller holds the private key of
// the assertion's confirmation certificate by signing the call itself.
//
// Checked calls: scheme "com.tessel.orbi.std.security.saml_hok_token" with "samlHokToken" and
// "samlHokTokenAlgorithm" present, exactly the calls the SAML holder-of-key handler can
// authenticate. Everything else goes to the next provider untouched, after one lookup.
//
// The proof: "signatureValue" is the Base64 signature, by "samlHokTokenAlgorithm", of the UTF-8
// RFC 8785 canonical text of {"input": <input, clean encoding>, "operationId": <operation>,
// "serviceId": <interface id>, "timestamp": <"signatureTimestamp">}; the timestamp is ISO 8601 and
// may be at most the window away from this filter's clock, either way. The key comes from the key
// extractor, and what it verified of the assertion goes on in the call's context once the proof
// holds, so that the handler does not verify the assertion again. With a replay guard, a proof is
// accepted once: presented again while its timestamp is within the window, it is refused (a client
// repeating a call signs it with a new timestamp, which may carry a fraction of a second). Any
// failure ends the call with Unauthenticated (no message) and one log line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/basalt/dateTime.h"
#include "platform/orbi/authn.h"
#include "platform/orbi/proofReplayGuard.h"
#include "platform/orbi/provider.h"
#include "platform/orbi/signatureVerifier.h"

namespace Orbi::Security {

// What the key extractor found in an assertion.
struct SamlConfirmation {
  // The Base64 of the confirmation key, in the form the verifier factory takes; empty when no key
  // can be given (a bearer assertion, a refused one).
  std::string key;
  // The assertion as verified, put in the call's context once the proof holds, for the handler.
  std::shared_ptr<const Core::VerifiedCredential> verified;
};

// The assertion text to its confirmation. Must not throw.
using SamlKeyExtractor = std::function<SamlConfirmation(const std::string& token)>;

// Shared by all calls; keeps no per-call state.
class AsyncSamlVerifierFilter final : public Core::AsyncApiProvider {
 public:
  // Without `replays` a proof may be presented again within its window: only for measuring the
  // verification alone; the daemon always gives one.
  AsyncSamlVerifierFilter(Core::ProviderPtr next, SignatureVerifierFactoryPtr verifiers,
                          SamlKeyExtractor keyExtractor, Core::LoggerPtr logger,
                          int64_t windowSeconds,
                          Basalt::System::UtcClock clock = Basalt::System::SystemUtcClock(),
                          std::shared_ptr<ProofReplayGuard> replays = nullptr,
                          Authn::AuthnObserver onRefused = nullptr);

  std::string ToString() const override { return "AsyncSamlVerifierFilter"; }
  void Invoke(const Core::MethodIdentifier& method, Data::ValuePtr input,
              Core::ExecutionContextPtr context, Core::AsyncApiResultCb resultCb) override;

 private:
  // Empty when the proof holds, with `verified` set from the extractor; else why not.
  std::string CheckProof(const Core::MethodIdentifier& method, const Data::ValuePtr& input,
                         const Core::ExecutionContext& context, const std::string& token,
                         const std::string& algorithm,
                         std::shared_ptr<const Core::VerifiedCredential>& verified) const;

  Core::ProviderPtr next_;
  SignatureVerifierFactoryPtr verifiers_;
  SamlKeyExtractor keyExtractor_;
  Core::LoggerPtr logger_;
  int64_t windowMicroseconds_;
  Basalt::System::UtcClock clock_;
  std::shared_ptr<ProofReplayGuard> replays_;
  Authn::AuthnObserver onRefused_;  // told of each refused proof
};

}  // namespace Orbi::Security

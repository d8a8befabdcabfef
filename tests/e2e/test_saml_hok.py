"""SAML holder-of-key authentication over HTTP: a registered issuer, profiles for the assertion's
subject and groups, assertions signed by xmlsec1 and calls signed by the client's key."""

import datetime

import jwt
import pytest

from conftest import TOKEN_SVC, VERIFY_SVC, assert_error_kind, oauth, output_of
from saml_client import ISSUER, iso, make_key, now, render, security_context, sign

ISSUERS_SVC = "com.tessel.nox.authentication.trust.security_token_issuers"
PROFILES_SVC = "com.tessel.nox.authentication.client_profiles"
OTHER_ISSUER = "https://other.example.test/issuer"
P256 = "ec -pkeyopt ec_paramgen_curve:P-256"
P384 = "ec -pkeyopt ec_paramgen_curve:P-384"


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    directory = tmp_path_factory.mktemp("saml-keys")
    made = {name: make_key(directory, name, spec) for name, spec in [
        ("issuer", "rsa:2048"), ("other", "rsa:2048"), ("rsa", "rsa:2048"), ("p256", P256),
        ("p384", P384)]}
    made["dir"] = directory
    return made


@pytest.fixture(scope="module")
def federation(daemon, keys):
    """Issuers "corp" and "other"; profiles for ada and her group Administrators at corp."""
    admin = oauth(daemon.create_token("root"))
    for alias, issuer, key in [("corp", ISSUER, keys["issuer"]),
                               ("other", OTHER_ISSUER, keys["other"])]:
        spec = {"issuer_alias": alias, "issuer": issuer,
                "signing_cert_chains": [{"cert_chain": [key.cert_text()]}]}
        output_of(daemon.invoke(ISSUERS_SVC, "create", {"spec": spec}, security=admin))
    for subject, entitlement in [({"external_user": "ada"}, "OPERATOR"),
                                 ({"external_group": "Administrators"}, "READ_ONLY")]:
        spec = dict(subject, issuer_alias="corp", domain="EXAMPLE.TEST",
                    grants=[{"resource_type": "HOST", "entitlement": entitlement}])
        output_of(daemon.invoke(PROFILES_SVC, "create", {"spec": spec}, security=admin))
    return keys


def signed(keys, holder="rsa", signer="issuer", **render_args) -> str:
    confirmation = keys[holder] if holder else None
    return sign(keys["dir"], render(confirmation, **render_args), keys[signer])


def create(daemon, context) -> dict:
    return daemon.invoke(TOKEN_SVC, "create", {}, security=context)


@pytest.mark.parametrize("holder,algorithm", [
    ("rsa", "RS256"), ("rsa", "RS512"), ("rsa", "PS256"), ("p256", "ES256"), ("p384", "ES384")])
def test_holder_of_key_gets_token_with_profile_entitlements(daemon, federation, holder, algorithm):
    token = signed(federation, holder)
    op_id = f"saml-{holder}-{algorithm}"
    since = daemon.log_offset()
    answer = daemon.invoke(TOKEN_SVC, "create", {}, app={"opId": op_id}, security=security_context(
        token, federation[holder], algorithm, TOKEN_SVC, "create"))
    claims = jwt.decode(output_of(answer)["token"], daemon.root.secret(), algorithms=["HS256"])
    assert claims["username"] == "ada"
    # Both profiles match only with alias "corp" and domain "EXAMPLE.TEST" from the assertion.
    assert sorted(claims["entitlement"]) == ["OPERATOR", "READ_ONLY"]
    daemon.wait_for_record(
        lambda r: r.text == "Creating token for [corp, EXAMPLE.TEST, ada]", "of the caller", since)


def refused_calls(keys):
    """(name, security context, what the refusal's log line names)."""
    good = signed(keys)
    t0 = now()
    ctx = lambda token, holder=keys["rsa"], **kw: security_context(  # noqa: E731
        token, holder, "RS256", TOKEN_SVC, "create", **kw)
    assertion = good[good.index("<saml2:Assertion"):]
    # A forged assertion carrying the signed one's ID, hidden in the signed one's Advice.
    forged = good.replace("<saml2:AuthnStatement ", "<saml2:Advice>" + assertion.replace(
        "ada@", "eve@") + "</saml2:Advice><saml2:AuthnStatement ", 1)
    huge = good.replace("</saml2:Assertion>", "<x>" + "A" * 19_000_000 + "</x></saml2:Assertion>")
    ec_named_rs256 = security_context(signed(keys, "p256"), keys["p256"], "ES256", TOKEN_SVC,
                                      "create") | {"samlHokTokenAlgorithm": "RS256"}
    return [
        ("bearer", ctx(signed(keys, holder=None)), "no confirmation key"),
        ("missing proof", ctx(good, holder=None), "no signatureTimestamp"),
        ("proof by another key", ctx(good, holder=keys["other"]), "does not verify"),
        ("stale proof", ctx(good, timestamp=iso(t0 - datetime.timedelta(seconds=700))),
         "outside the accepted window"),
        # The proof covers {"profile": "x"}, the call sends {}.
        ("proof over other input", ctx(good, input={"profile": "x"}), "does not verify"),
        ("proof for another operation",
         security_context(good, keys["rsa"], "RS256", VERIFY_SVC, "verify"), "does not verify"),
        ("EC proof named RS256", ec_named_rs256, "does not fit the confirmation key"),
        ("unknown issuer", ctx(signed(keys, issuer="https://unknown.example.test")),
         "tampered with"),
        ("signed by other naming corp", ctx(signed(keys, signer="other")), "tampered with"),
        ("expired", ctx(signed(keys, valid_from=t0 - datetime.timedelta(hours=3))),
         "The token has expired"),
        ("wrapped", ctx("<Response>" + assertion + "</Response>"),
         "Expected element 'Assertion' not found"),
        ("second assertion with the same ID", ctx(forged), "Duplicate ID"),
        ("comment injection",
         ctx(good.replace(">ada@EXAMPLE.TEST<", ">ada<!---->@EXAMPLE.TEST<")),
         "must only have textual content"),
        ("empty ID", ctx(signed(keys, token_id="")), "Invalid token ID"),
        ("not XML", ctx("<saml2:Assertion"), "Malformed XML"),
        ("a text over the size limit", ctx(huge), "XML text of more than 10000000 bytes"),
    ]


def test_refusals_answer_unauthenticated(daemon, federation):
    since = daemon.log_offset()
    for index, (name, context, reason) in enumerate(refused_calls(federation)):
        op_id = f"saml-refused-{index}"
        answer = daemon.invoke(TOKEN_SVC, "create", {}, security=context, app={"opId": op_id})
        assert assert_error_kind(answer, "unauthenticated")["messages"] == [], name
        daemon.wait_for_record(
            # The filter logs on "SamlHokHandler", the key extractor on "OrbiSamlVerifyFilter".
            lambda r: r.op_id == op_id and r.logger in ("SamlHokHandler", "OrbiSamlVerifyFilter")
            and reason in r.text,
            f"{name}: {reason}", since)
    # Still serving, and the good path still works.
    token = signed(federation)
    output_of(create(daemon, security_context(token, federation["rsa"], "RS256", TOKEN_SVC,
                                              "create")))


def test_missing_algorithm_is_passed_on_unauthenticated(daemon, federation):
    context = security_context(signed(federation), federation["rsa"], "RS256", TOKEN_SVC, "create")
    del context["samlHokTokenAlgorithm"]
    since = daemon.log_offset()
    answer = daemon.invoke(TOKEN_SVC, "create", {}, security=context, app={"opId": "saml-noalg"})
    assert_error_kind(answer, "unauthenticated")
    # It reached the token service without authentication data, rather than being refused.
    daemon.wait_for_record(lambda r: "Cannot issue a jwt token, username not found" in r.text,
                           "of the token service", since)

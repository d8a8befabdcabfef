"""Credentials as the daemon treats them beyond accepting or refusing them: a proof of possession
is accepted once, the optional audience and not-before checks of external tokens refuse and admit
as configured (and change nothing when absent), and no log line at level 7 holds a credential."""

import re
import secrets
import time

import jwt
import pytest

from conftest import (ISSUERS_SVC, TOKEN_SVC, USERS, VERIFY_SVC, AdminClient, Root,
                      assert_error_kind, issuer_spec, oauth, output_of, serve, user_pass)
from saml_client import ISSUER, render, security_context, sign
from test_external_identity import (JWT_ISSUER, claims, create, federation, keys, now_us,
                                    saml)

INVALID_TOKEN = "com.tessel.nox.authentication.invalid_token"
ACCEPTED = "https://nox.example/api"
CHECKS = (f"<externalTokens><audience>{ACCEPTED}</audience>"
          "<audience>urn:tessel:host:other</audience><checkNotBefore>true</checkNotBefore>"
          "<clockSkewSeconds>60</clockSkewSeconds></externalTokens>")


def hok(keys, assertion):
    return security_context(assertion, keys["rsa"], "RS256", TOKEN_SVC, "create",
                            timestamp=now_us())


def accepted(answer) -> bool:
    return "output" in answer.get("result", {})


def test_a_proof_is_accepted_once(daemon, federation, keys):
    assertion = saml(keys)
    first, fresh = hok(keys, assertion), hok(keys, assertion)
    since = daemon.log_offset()
    answers = [create(daemon, security, f"proof-{n}")
               for n, security in enumerate([first, first, fresh, fresh])]
    assert [accepted(answer) for answer in answers] == [True, False, True, False]
    for n in (1, 3):
        assert_error_kind(answers[n], "unauthenticated")
        record = daemon.wait_for_record(
            lambda r, n=n: r.op_id == f"proof-{n}" and r.text.endswith("a replay"), "replay", since)
        assert record.level == 3, record


@pytest.fixture(scope="module")
def checking(tmp_path_factory, keys):
    """A daemon configured with both checks, with the issuers "jwt" and "corp" registered."""
    root = Root(tmp_path_factory.mktemp("checking") / "root")
    root.add_config(CHECKS)
    for running in serve(root):
        issuers = AdminClient(running, ISSUERS_SVC)
        for alias, issuer, key in [("jwt", JWT_ISSUER, "rsa"), ("corp", ISSUER, "sts")]:
            issuers.ok("create", issuer_spec(alias, issuer, [[keys[key].cert_text()]]))
        yield running


def elsewhere(keys):
    """An assertion whose only audience is another service."""
    xml = re.sub(r"<saml2:AudienceRestriction>.*?</saml2:AudienceRestriction>",
                 "<saml2:AudienceRestriction><saml2:Audience>urn:elsewhere</saml2:Audience>"
                 "</saml2:AudienceRestriction>", render(keys["rsa"]), flags=re.S)
    return sign(keys["dir"], xml, keys["sts"])


def test_audience_and_not_before_refuse_only_when_configured(daemon, federation, checking, keys):
    assert checking.wait_for_record(
        lambda r: r.text == f"External token checks: audience one of [{ACCEPTED}, "
                            "urn:tessel:host:other]; \"nbf\" and \"iat\" at most 60 s ahead",
        "the checks at start-up")
    now, rsa = int(time.time()), keys["rsa"].key_pem.read_text()

    def external(**more):
        return oauth(jwt.encode(claims(**more), rsa, algorithm="RS256"))

    # Security context; the refusal's log text when checked, None when admitted either way.
    rows = [
        (external(aud=ACCEPTED), None),
        (external(aud=["x", ACCEPTED], nbf=now + 30, iat=now + 30), None),
        (external(aud="https://other.example"),
         "audience not accepted; the token holds: [https://other.example]"),
        (external(), "audience not accepted; the token holds: []"),
        (external(aud=ACCEPTED, nbf=now + 600), f"not yet valid (nbf); the token holds: {now + 600}"),
        (external(aud=ACCEPTED, iat=now + 600),
         f"issued in the future (iat); the token holds: {now + 600}"),
        ("saml", None),
        ("elsewhere", "audience not accepted; the token holds: [urn:elsewhere]"),
    ]
    assertions = {"saml": saml(keys), "elsewhere": elsewhere(keys)}
    for running in (daemon, checking):
        since = running.log_offset()
        for n, (security, refusal) in enumerate(rows):
            if isinstance(security, str):
                security = hok(keys, assertions[security])
            answer = create(running, security, f"check-{n}")
            if running is daemon or refusal is None:
                assert accepted(answer), (n, answer)
                continue
            error = assert_error_kind(answer, "unauthenticated")
            is_jwt = "accessToken" in security
            assert [m["id"] for m in error.get("messages", [])] == ([INVALID_TOKEN] if is_jwt else [])
            record = running.wait_for_record(
                lambda r, n=n: r.op_id == f"check-{n}" and r.text.endswith(refusal), refusal, since)
            assert record.level == 3, record


def test_no_credential_is_logged_whole_at_level_7(daemon, federation, keys):
    wrong = "Wr0ng-" + secrets.token_hex(8)
    own = daemon.create_token("root")
    good_jwt = jwt.encode(claims(), keys["rsa"].key_pem.read_text(), algorithm="RS256")
    forged_jwt = jwt.encode(claims(), keys["other"].key_pem.read_text(), algorithm="RS256")
    undecodable = "not-a-jwt." + secrets.token_urlsafe(48)
    good_saml, forged_saml = saml(keys), saml(keys, signer="other")
    calls = [  # service, security context, accepted
        (TOKEN_SVC, user_pass("root", USERS["root"]), True),
        (TOKEN_SVC, user_pass("root", wrong), False),
        (VERIFY_SVC, oauth(own), True),
        (TOKEN_SVC, oauth(own), False),
        (TOKEN_SVC, oauth(good_jwt), True),
        (TOKEN_SVC, oauth(forged_jwt), False),
        (TOKEN_SVC, oauth(undecodable), False),
        (TOKEN_SVC, hok(keys, good_saml), True),
        (TOKEN_SVC, hok(keys, forged_saml), False),
    ]
    for service, security, ok in calls:
        answer = daemon.invoke(service, "create" if service == TOKEN_SVC else "verify",
                               security=security)
        assert accepted(answer) == ok, (security, answer)
    daemon.sync_log("battery-end")

    secrets_seen = [USERS["root"], wrong, undecodable]
    for token in (own, good_jwt, forged_jwt, output_of(create(daemon, oauth(good_jwt)))["token"]):
        secrets_seen += [token, token.rsplit(".", 1)[1]]
    for _, security, _ in calls[-2:]:
        assertion_signature = re.search(r"SignatureValue>\s*(\S{16})", security["samlHokToken"])
        secrets_seen += [security["signatureValue"], assertion_signature[1]]
    log = daemon.log_text()
    assert [s[:12] for s in secrets_seen if s in log] == []

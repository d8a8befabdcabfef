"""Callers from other identity systems: JWTs of registered issuers made by PyJWT and forgeries
made by hand, SAML holder-of-key assertions signed by xmlsec1 with calls signed by the client's
key, all exchanged for daemon tokens; and the sample assertion script with its checker. Beyond
accepting or refusing them: a proof of possession is accepted once, the optional audience,
not-before and confirmation expiry checks of external tokens refuse and admit as configured (and
change nothing when absent), and no log line at level 7 holds a credential."""

import datetime
import hmac
import json
import os
import re
import secrets
import subprocess
import sys
import time

import jwt
import pytest

from conftest import (BIN_DIR, NOX, REPO, TOKEN_SVC, USERS, VERIFY_SVC, AdminClient, Issuers,
                      Root, assert_error_kind, b64url, b64url_json, grants, message_ids, oauth,
                      output_of, serve, user_pass)
from saml_client import ISSUER, iso, render, security_context, sign

INVALID_SIGNATURE = NOX + "external_token_invalid_signature"
JWT_ISSUER = "https://idp.example/jwt"
JWT_CHAINS = [["p256", "rsa"], ["p384"], ["p521"]]  # RS256 verifies with a chain's second
ADA = ("ada", ["OPERATOR", "READ_ONLY"])  # the profiles of ada and her group under "corp"


def chains_of(keys, chains):
    return [[keys[name].cert_text() for name in chain] for chain in chains]


def set_chains(issuers, alias, keys, chains):
    spec = {"signing_cert_chains": [{"cert_chain": c} for c in chains_of(keys, chains)]}
    issuers.ok("set", {"issuer_alias": alias, "spec": spec})


@pytest.fixture(scope="module")
def federation(daemon, keys):
    """Issuers "jwt" (domain corp), "corp" (SAML, EXAMPLE.TEST) and "other"; their profiles."""
    issuers, profiles = Issuers(daemon), AdminClient(daemon)
    for alias, issuer, chains in [("jwt", JWT_ISSUER, JWT_CHAINS), ("corp", ISSUER, [["sts"]]),
                                  ("other", "https://other.example.test/issuer", [["other"]])]:
        output_of(issuers.create(alias, issuer, chains_of(keys, chains)))
    for alias, domain, subject, entitlement in [
            ("jwt", "corp", {"external_user": "ann"}, "OPERATOR"),
            ("jwt", "corp", {"external_group": "admins"}, "ADMINISTRATOR"),
            ("jwt", "corp", {"external_group": "other"}, "READ_ONLY"),
            ("corp", "EXAMPLE.TEST", {"external_user": "ada"}, "OPERATOR"),
            ("corp", "EXAMPLE.TEST", {"external_group": "Administrators"}, "READ_ONLY")]:
        profiles.ok("create", {"spec": {**subject, "issuer_alias": alias, "domain": domain,
                                        "grants": grants(entitlement)}})
    return issuers


def issued(daemon, answer):
    claims = daemon.claims(output_of(answer)["token"])
    return claims["username"], sorted(claims["entitlement"])


def accepted(answer) -> bool:
    return "output" in answer.get("result", {})


def claims(**more):
    return {"iss": JWT_ISSUER, "exp": int(time.time()) + 120, "username": "ann", "domain": "corp",
            **more}


def signed(keys, key="rsa", alg="RS256", **more) -> str:
    """A JWT of claims(**more) signed with `key`'s private key."""
    return jwt.encode(claims(**more), keys[key].key_pem.read_text(), algorithm=alg)


def forged(alg: str, sign_input) -> str:
    """A JWT put together by hand: `sign_input` maps the signing input to the signature."""
    signing_input = f"{b64url_json({'alg': alg})}.{b64url_json(claims())}"
    return f"{signing_input}.{b64url(sign_input(signing_input.encode()))}"


def test_jwt_of_each_algorithm_is_exchanged_while_its_key_is_registered(daemon, federation, keys):
    tokens = {}
    # Which key verifies which algorithm is the handler's unit test; one of each family here.
    for alg, key in [("RS256", "rsa"), ("RS512", "rsa"), ("ES256", "p256"), ("ES384", "p384"),
                     ("ES512", "p521")]:
        tokens[alg] = signed(keys, key, alg, group_names=["admins@corp", "nobody@corp"])
        answer = daemon.create(oauth(tokens[alg]))
        assert issued(daemon, answer) == ("ann", ["ADMINISTRATOR", "OPERATOR"]), alg
    # A change of the chains counts from the next call on.
    set_chains(federation, "jwt", keys, [["p384"]])
    assert_error_kind(daemon.create(oauth(tokens["RS256"])), "unauthenticated")
    output_of(daemon.create(oauth(tokens["ES384"])))
    set_chains(federation, "jwt", keys, JWT_CHAINS)


def saml(keys, holder="rsa", signer="sts", **render_args):
    return sign(keys["dir"], render(keys[holder] if holder else None, **render_args),
                keys[signer])


def hok(keys, token, holder="rsa", algorithm="RS256", **kw):
    """The securityCtx of a token create call with `token`, proven by `holder` (None: no proof).
    The timestamp differs from call to call: a repeated proof is a replay."""
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
    return security_context(token, holder and keys[holder], algorithm, TOKEN_SVC, "create",
                            **{"timestamp": now, **kw})


def test_saml_holder_of_key_gets_the_profiles_of_the_subject_and_its_groups(daemon, federation,
                                                                             keys):
    since = daemon.log_offset()
    assertion = saml(keys, "p256")
    for holder, algorithm, text in [("rsa", "RS256", None), ("rsa", "RS512", None),
                                    ("rsa", "PS256", None), ("p256", "ES256", assertion),
                                    ("p384", "ES384", None), ("p256", "ES256", assertion)]:
        context = hok(keys, text or saml(keys, holder), holder, algorithm)
        # Both profiles match only with alias "corp" and domain "EXAMPLE.TEST".
        assert issued(daemon, daemon.create(context, "ext")) == ADA
    daemon.wait_for_line("ext", "Creating token for [corp, EXAMPLE.TEST, ada]", since)
    # An assertion presented again is trusted only while its issuer's chains are unchanged.
    set_chains(federation, "corp", keys, [["other"]])
    assert_error_kind(daemon.create(hok(keys, assertion, "p256", "ES256")), "unauthenticated")
    set_chains(federation, "corp", keys, [["sts"]])
    assert issued(daemon, daemon.create(hok(keys, assertion, "p256", "ES256"))) == ADA


def test_refusals_carry_their_message_and_log_line(daemon, federation, keys):
    invalid = ([INVALID_SIGNATURE], "Token validation failed: ")
    good = saml(keys)
    expired = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(hours=3)
    cases = [
        (oauth(signed(keys, "other", exp=1000)), invalid),
        (oauth(signed(keys, exp=1000)),
         ([NOX + "token_expired"], "Token validation failed, token validity expired")),
        # The registered certificate as an HMAC secret; other forgeries have unit tests.
        (oauth(forged("HS256", lambda m: hmac.digest(keys["rsa"].cert_pem.read_bytes(), m,
                                                     "sha256"))), invalid),
        (oauth(forged("none", lambda m: b"")), invalid),
        # Holder-of-key refusals say nothing to the caller.
        (hok(keys, saml(keys, holder=None)), ([], "no confirmation key")),
        (hok(keys, good, None), ([], "no signatureTimestamp")),
        (hok(keys, good, input={"profile": "x"}), ([], "does not verify")),  # the call sends {}
        # Signed by other, naming corp.
        (hok(keys, saml(keys, signer="other")), ([], "tampered with")),
        (hok(keys, saml(keys, valid_from=expired)), ([], "The token has expired")),
        (hok(keys, "<Response>" + good[good.index("<saml2:Assertion"):] + "</Response>"),
         ([], "Expected element 'Assertion' not found")),
        # Passed on without authentication data to the token service, which refuses.
        ({k: v for k, v in hok(keys, good).items() if k != "samlHokTokenAlgorithm"},
         ([], "Cannot issue a jwt token, username not found")),
    ]
    since = daemon.log_offset()
    for n, (security, (messages, reason)) in enumerate(cases):
        error = assert_error_kind(daemon.create(security, f"refused-{n}"), "unauthenticated")
        assert message_ids(error) == messages, security
        daemon.wait_for_line(f"refused-{n}", reason, since, str.__contains__)


def doc_block(doc: str, language: str, containing: str = "") -> str:
    blocks = re.findall(rf"```{language}\n(.*?)```", (REPO / "docs" / doc).read_text(), re.S)
    return next(block for block in blocks if containing in block)


def test_sample_assertion_and_the_documented_snippets(daemon, federation, keys, tmp_path):
    """The sample assertion verifies with its issuer only, and the Python and curl of the docs
    work as written: the holder-of-key context of saml.md with the sample's key, and a JWT
    minted by external-jwt.md's PyJWT lines exchanged by the admin guide's curl."""
    subprocess.run([REPO / "scripts/sample-saml", tmp_path, "--subject", "grace@LAB.TEST",
                    "--issuer", "https://idp.lab.test/saml"], check=True, timeout=120)
    check = [BIN_DIR / "nox-saml-check", tmp_path / "assertion.xml"]
    trusted = subprocess.run([*check, tmp_path / "issuer.cert.pem"], capture_output=True,
                             check=True, timeout=60)
    assert json.loads(trusted.stdout)["subject"] == {"name": "grace", "domain": "LAB.TEST"}
    assert subprocess.run([*check, tmp_path / "client.cert.pem"], timeout=60).returncode == 1

    idp = keys["idp"]
    for alias, issuer, cert in [("lab", "https://idp.lab.test/saml", tmp_path / "issuer.cert.pem"),
                                ("doc", "https://idp.corp.example", idp.cert_pem)]:
        output_of(federation.create(alias, issuer, [[cert.read_text()]]))
    documented = {}
    exec(doc_block("saml.md", "python"), documented)
    context = documented["saml_hok_context"]((tmp_path / "assertion.xml").read_text(),
                                             (tmp_path / "client.key.pem").read_bytes(),
                                             TOKEN_SVC, "create", {})
    assert issued(daemon, daemon.create(context))[0] == "grace"

    (tmp_path / "idp.key.pem").write_bytes(idp.key_pem.read_bytes())
    minted = subprocess.run([sys.executable, "-c", doc_block("external-jwt.md", "python")],
                            cwd=tmp_path, capture_output=True, text=True, check=True, timeout=60)
    curl = doc_block("admin-guide.md", "sh", '"accessToken"').replace(
        "http://localhost:9199/api", daemon.url)
    answer = subprocess.run(["bash", "-c", curl], capture_output=True, text=True, timeout=60,
                            env={**os.environ, "EXTERNAL_JWT": minted.stdout.strip()})
    assert issued(daemon, json.loads(answer.stdout)) == ("ann", [])  # no profile under "doc"
    for alias in ("lab", "doc"):
        federation.ok("delete", {"issuer_alias": alias})


INVALID_TOKEN = NOX + "invalid_token"
ACCEPTED = "https://nox.example/api"
CHECKS = (f"<externalTokens><audience>{ACCEPTED}</audience>"
          "<audience>urn:tessel:host:other</audience><checkNotBefore>true</checkNotBefore>"
          "<clockSkewSeconds>60</clockSkewSeconds>"
          "<checkConfirmationExpiry>true</checkConfirmationExpiry></externalTokens>")


def test_a_proof_is_accepted_once(daemon, federation, keys):
    assertion = saml(keys)
    first, fresh = hok(keys, assertion), hok(keys, assertion)
    since = daemon.log_offset()
    answers = [daemon.create(security, f"proof-{n}")
               for n, security in enumerate([first, first, fresh, fresh])]
    assert [accepted(answer) for answer in answers] == [True, False, True, False]
    for n in (1, 3):
        assert_error_kind(answers[n], "unauthenticated")
        assert daemon.wait_for_line(f"proof-{n}", "a replay", since, str.endswith).level == 3


@pytest.fixture(scope="module")
def checking(tmp_path_factory, keys):
    """A daemon configured with both checks, with the issuers "jwt" and "corp" registered."""
    root = Root(tmp_path_factory.mktemp("checking") / "root")
    root.add_config(CHECKS)
    for running in serve(root):
        for alias, issuer, key in [("jwt", JWT_ISSUER, "rsa"), ("corp", ISSUER, "sts")]:
            output_of(Issuers(running).create(alias, issuer, [[keys[key].cert_text()]]))
        yield running


def elsewhere(keys):
    """An assertion whose only audience is another service."""
    xml = re.sub(r"<saml2:AudienceRestriction>.*?</saml2:AudienceRestriction>",
                 "<saml2:AudienceRestriction><saml2:Audience>urn:elsewhere</saml2:Audience>"
                 "</saml2:AudienceRestriction>", render(keys["rsa"]), flags=re.S)
    return sign(keys["dir"], xml, keys["sts"])


def confirmed_until(keys, instant):
    """An assertion whose confirmation data holds NotOnOrAfter `instant`."""
    xml = render(keys["rsa"]).replace("<saml2:SubjectConfirmationData ",
                                      f'<saml2:SubjectConfirmationData NotOnOrAfter="{instant}" ', 1)
    return sign(keys["dir"], xml, keys["sts"])


def test_audience_and_not_before_refuse_only_when_configured(daemon, federation, checking, keys):
    assert checking.wait_for_record(
        lambda r: r.text == f"External token checks: audience one of [{ACCEPTED}, "
                            "urn:tessel:host:other]; \"nbf\" and \"iat\" at most 60 s ahead; "
                            "SAML confirmation NotOnOrAfter at most 60 s past",
        "the checks at start-up")
    now = int(time.time())
    lapsed = iso(datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=2))
    later = iso(datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(minutes=30))

    def external(**more):
        return oauth(signed(keys, **more))

    # Security context; the refusal's log text when checked, None when admitted either way.
    rows = [
        (external(aud=ACCEPTED), None),
        (external(aud=["x", ACCEPTED], nbf=now + 30, iat=now + 30), None),
        (external(aud="https://other.example"),
         "audience not accepted; the token holds: [https://other.example]"),
        (external(), "audience not accepted; the token holds: []"),
        (external(aud=ACCEPTED, nbf=now + 600),
         f"not yet valid (nbf); the token holds: {now + 600}"),
        (external(aud=ACCEPTED, iat=now + 600),
         f"issued in the future (iat); the token holds: {now + 600}"),
        ("saml", None),
        ("elsewhere", "audience not accepted; the token holds: [urn:elsewhere]"),
        ("later", None),
        ("lapsed", "confirmation expired (SubjectConfirmationData NotOnOrAfter); the token "
                   f"holds: {lapsed}"),
    ]
    assertions = {"saml": saml(keys), "elsewhere": elsewhere(keys),
                  "later": confirmed_until(keys, later), "lapsed": confirmed_until(keys, lapsed)}
    for running in (daemon, checking):
        since = running.log_offset()
        for n, (security, refusal) in enumerate(rows):
            if isinstance(security, str):
                security = hok(keys, assertions[security])
            answer = running.create(security, f"check-{n}")
            if running is daemon or refusal is None:
                assert accepted(answer), (n, answer)
                continue
            error = assert_error_kind(answer, "unauthenticated")
            is_jwt = "accessToken" in security
            assert message_ids(error) == ([INVALID_TOKEN] if is_jwt else [])
            assert running.wait_for_line(f"check-{n}", refusal, since, str.endswith).level == 3


def test_no_credential_is_logged_whole_at_level_7(daemon, federation, keys):
    wrong = "Wr0ng-" + secrets.token_hex(8)
    own = daemon.create_token("root")
    good_jwt, forged_jwt = signed(keys), signed(keys, "other")
    undecodable = "not-a-jwt." + secrets.token_urlsafe(48)
    good_saml, forged_saml = saml(keys), saml(keys, signer="other")
    calls = [  # service, security context, accepted
        (TOKEN_SVC, user_pass("root"), True),
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
    for token in (own, good_jwt, forged_jwt, output_of(daemon.create(oauth(good_jwt)))["token"]):
        secrets_seen += [token, token.rsplit(".", 1)[1]]
    for _, security, _ in calls[-2:]:
        assertion_signature = re.search(r"SignatureValue>\s*(\S{16})", security["samlHokToken"])
        secrets_seen += [security["signatureValue"], assertion_signature[1]]
    log = daemon.log_text()
    assert [s[:12] for s in secrets_seen if s in log] == []

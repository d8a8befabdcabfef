"""Callers from other identity systems: JWTs of registered issuers made by PyJWT and forgeries
made by hand, SAML holder-of-key assertions signed by xmlsec1 with calls signed by the client's
key, all exchanged for daemon tokens; and the sample assertion script with its checker."""

import base64
import datetime
import hmac
import json
import os
import re
import subprocess
import sys
import time

import jwt
import pytest

from conftest import (BIN_DIR, ISSUERS_SVC, REPO, TOKEN_SVC, AdminClient,
                      assert_error_kind, grants, issuer_spec, oauth, output_of)
from saml_client import ISSUER, make_key, render, security_context, sign

NOX = "com.tessel.nox.authentication."
INVALID_SIGNATURE = NOX + "external_token_invalid_signature"
JWT_ISSUER = "https://idp.example/jwt"
EC = "ec -pkeyopt ec_paramgen_curve:P-"
KEYS = {"rsa": "rsa:2048", "p256": EC + "256", "p384": EC + "384", "p521": EC + "521",
        "sts": "rsa:2048", "other": "rsa:2048"}
JWT_CHAINS = [["p256", "rsa"], ["p384"], ["p521"]]  # RS256 verifies with a chain's second


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keys")
    return {"dir": folder, **{name: make_key(folder, name, spec) for name, spec in KEYS.items()}}


def chains_of(keys, chains):
    return [[keys[name].cert_text() for name in chain] for chain in chains]


def set_chains(issuers, alias, keys, chains):
    spec = {"signing_cert_chains": [{"cert_chain": c} for c in chains_of(keys, chains)]}
    issuers.ok("set", {"issuer_alias": alias, "spec": spec})


@pytest.fixture(scope="module")
def federation(daemon, keys):
    """Issuers "jwt" (domain corp), "corp" (SAML, EXAMPLE.TEST) and "other"; their profiles."""
    issuers, profiles = AdminClient(daemon, ISSUERS_SVC), AdminClient(daemon)
    for alias, issuer, chains in [("jwt", JWT_ISSUER, JWT_CHAINS), ("corp", ISSUER, [["sts"]]),
                                  ("other", "https://other.example.test/issuer", [["other"]])]:
        issuers.ok("create", issuer_spec(alias, issuer, chains_of(keys, chains)))
    for alias, domain, subject, entitlement in [
            ("jwt", "corp", {"external_user": "ann"}, "OPERATOR"),
            ("jwt", "corp", {"external_group": "admins"}, "ADMINISTRATOR"),
            ("jwt", "corp", {"external_group": "other"}, "READ_ONLY"),
            ("corp", "EXAMPLE.TEST", {"external_user": "ada"}, "OPERATOR"),
            ("corp", "EXAMPLE.TEST", {"external_group": "Administrators"}, "READ_ONLY")]:
        profiles.ok("create", {"spec": {**subject, "issuer_alias": alias, "domain": domain,
                                        "grants": grants(entitlement)}})
    return issuers


def create(daemon, security, op_id="ext"):
    return daemon.invoke(TOKEN_SVC, "create", security=security, app={"opId": op_id})


def issued(daemon, answer):
    claims = jwt.decode(output_of(answer)["token"], daemon.root.secret(), algorithms=["HS256"])
    return claims["username"], sorted(claims["entitlement"])


def claims(**more):
    return {"iss": JWT_ISSUER, "exp": int(time.time()) + 120, "username": "ann", "domain": "corp",
            **more}


def forged(alg: str, sign_input) -> str:
    """A JWT put together by hand: `sign_input` maps the signing input to the signature."""
    parts = [json.dumps({"alg": alg}).encode(), json.dumps(claims()).encode()]
    parts.append(sign_input(b".".join(base64.urlsafe_b64encode(p).rstrip(b"=") for p in parts)))
    return ".".join(base64.urlsafe_b64encode(p).rstrip(b"=").decode() for p in parts)


def test_jwt_of_each_algorithm_is_exchanged_while_its_key_is_registered(daemon, federation, keys):
    tokens = {}
    # Which key verifies which algorithm is the handler's unit test; one of each family here.
    for alg, key in [("RS256", "rsa"), ("RS512", "rsa"), ("ES256", "p256"), ("ES384", "p384"),
                     ("ES512", "p521")]:
        tokens[alg] = jwt.encode(claims(group_names=["admins@corp", "nobody@corp"]),
                                 keys[key].key_pem.read_text(), algorithm=alg)
        answer = create(daemon, oauth(tokens[alg]))
        assert issued(daemon, answer) == ("ann", ["ADMINISTRATOR", "OPERATOR"]), alg
    # A change of the chains counts from the next call on.
    set_chains(federation, "jwt", keys, [["p384"]])
    assert_error_kind(create(daemon, oauth(tokens["RS256"])), "unauthenticated")
    output_of(create(daemon, oauth(tokens["ES384"])))
    set_chains(federation, "jwt", keys, JWT_CHAINS)


def now_us() -> str:
    """A proof's timestamp that differs from call to call (a repeated proof is a replay)."""
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def saml(keys, holder="rsa", signer="sts", **render_args):
    return sign(keys["dir"], render(keys[holder] if holder else None, **render_args),
                keys[signer])


def test_saml_holder_of_key_gets_the_profiles_of_the_subject_and_its_groups(daemon, federation,
                                                                             keys):
    since = daemon.log_offset()
    assertion = saml(keys, "p256")
    for holder, algorithm, text in [("rsa", "RS256", None), ("rsa", "RS512", None),
                                    ("rsa", "PS256", None), ("p256", "ES256", assertion),
                                    ("p384", "ES384", None), ("p256", "ES256", assertion)]:
        context = security_context(text or saml(keys, holder), keys[holder], algorithm,
                                   TOKEN_SVC, "create", timestamp=now_us())
        # Both profiles match only with alias "corp" and domain "EXAMPLE.TEST".
        assert issued(daemon, create(daemon, context)) == ("ada", ["OPERATOR", "READ_ONLY"])
    daemon.wait_for_line("ext", "Creating token for [corp, EXAMPLE.TEST, ada]", since)
    # An assertion presented again is trusted only while its issuer's chains are unchanged.
    for signer, trusted in (("other", False), ("sts", True)):
        set_chains(federation, "corp", keys, [[signer]])
        answer = create(daemon, security_context(assertion, keys["p256"], "ES256", TOKEN_SVC,
                                                 "create", timestamp=now_us()))
        if trusted:
            assert issued(daemon, answer) == ("ada", ["OPERATOR", "READ_ONLY"])
        else:
            assert_error_kind(answer, "unauthenticated")


def test_refusals_carry_their_message_and_log_line(daemon, federation, keys):
    rsa = keys["rsa"].key_pem.read_text()
    invalid = ([INVALID_SIGNATURE], "Token validation failed: ")
    good = saml(keys)

    def hok(token=good, holder=keys["rsa"], **kw):
        return security_context(token, holder, "RS256", TOKEN_SVC, "create", **kw)

    no_algorithm = hok()
    del no_algorithm["samlHokTokenAlgorithm"]
    expired = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(hours=3)
    cases = [
        (oauth(jwt.encode(claims(exp=1000), keys["other"].key_pem.read_text(), "RS256")),
         invalid),
        (oauth(jwt.encode(claims(exp=1000), rsa, algorithm="RS256")),
         ([NOX + "token_expired"], "Token validation failed, token validity expired")),
        # The registered certificate as an HMAC secret; other forgeries have unit tests.
        (oauth(forged("HS256", lambda m: hmac.digest(keys["rsa"].cert_pem.read_bytes(), m,
                                                     "sha256"))), invalid),
        (oauth(forged("none", lambda m: b"")), invalid),
        # Holder-of-key refusals say nothing to the caller.
        (hok(saml(keys, holder=None)), ([], "no confirmation key")),
        (hok(holder=None), ([], "no signatureTimestamp")),
        (hok(input={"profile": "x"}), ([], "does not verify")),  # the call sends {}
        (hok(saml(keys, signer="other")), ([], "tampered with")),  # signed by other, naming corp
        (hok(saml(keys, valid_from=expired)), ([], "The token has expired")),
        (hok("<Response>" + good[good.index("<saml2:Assertion"):] + "</Response>"),
         ([], "Expected element 'Assertion' not found")),
        # Passed on without authentication data to the token service, which refuses.
        (no_algorithm, ([], "Cannot issue a jwt token, username not found")),
    ]
    since = daemon.log_offset()
    for n, (security, (messages, reason)) in enumerate(cases):
        error = assert_error_kind(create(daemon, security, f"refused-{n}"), "unauthenticated")
        assert [m["id"] for m in error["messages"]] == messages, security
        daemon.wait_for_record(lambda r: r.op_id == f"refused-{n}" and reason in r.text,
                               f"{security}: {reason}", since)


def doc_block(doc: str, language: str, containing: str = "") -> str:
    blocks = re.findall(rf"```{language}\n(.*?)```", (REPO / "docs" / doc).read_text(), re.S)
    return next(block for block in blocks if containing in block)


def test_sample_assertion_and_the_documented_snippets(daemon, federation, tmp_path):
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

    idp = make_key(tmp_path, "idp")
    for alias, issuer, cert in [("lab", "https://idp.lab.test/saml", tmp_path / "issuer.cert.pem"),
                                ("doc", "https://idp.corp.example", idp.cert_pem)]:
        federation.ok("create", issuer_spec(alias, issuer, [[cert.read_text()]]))
    documented = {}
    exec(doc_block("saml.md", "python"), documented)
    context = documented["saml_hok_context"]((tmp_path / "assertion.xml").read_text(),
                                             (tmp_path / "client.key.pem").read_bytes(),
                                             TOKEN_SVC, "create", {})
    assert issued(daemon, create(daemon, context))[0] == "grace"

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

"""JWTs of registered external issuers: made here by PyJWT, exchanged for daemon tokens."""

import base64
import hashlib
import hmac
import json
import subprocess
import time

import jwt
import pytest

from conftest import (
    PROFILES_SVC,
    TOKEN_SVC,
    VERIFY_SVC,
    assert_error_kind,
    oauth,
    output_of,
)

ISSUERS_SVC = "com.tessel.nox.authentication.trust.security_token_issuers"
INVALID_SIGNATURE = "com.tessel.nox.authentication.external_token_invalid_signature"
KEY_SPECS = {
    "rsa": "rsa:2048",
    "p256": "ec -pkeyopt ec_paramgen_curve:P-256",
    "p384": "ec -pkeyopt ec_paramgen_curve:P-384",
    "p521": "ec -pkeyopt ec_paramgen_curve:P-521",
}
ALGORITHMS = [("RS256", "rsa"), ("RS384", "rsa"), ("RS512", "rsa"), ("ES256", "p256"),
              ("ES384", "p384"), ("ES512", "p521")]


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """name -> (private key PEM, certificate PEM), made by the openssl command."""
    made = {}
    folder = tmp_path_factory.mktemp("keys")
    for name, spec in {**KEY_SPECS, "stranger": "rsa:2048"}.items():
        key, cert = folder / f"{name}.key", folder / f"{name}.crt"
        subprocess.run(
            f"openssl req -x509 -nodes -days 2 -newkey {spec} -subj /CN={name} "
            f"-keyout {key} -out {cert}",
            shell=True, check=True, capture_output=True)
        made[name] = (key.read_text(), cert.read_text())
    return made


def admin(daemon) -> dict:
    return oauth(daemon.create_token("root"))


def register(daemon, alias, issuer, chains, operation="create"):
    spec = {"issuer": issuer, "signing_cert_chains": [{"cert_chain": c} for c in chains]}
    if operation == "create":
        spec["issuer_alias"] = alias
        return daemon.invoke(ISSUERS_SVC, "create", {"spec": spec}, security=admin(daemon))
    return daemon.invoke(ISSUERS_SVC, "set", {"issuer_alias": alias, "spec": spec},
                         security=admin(daemon))


def grant(daemon, entitlement, **subject):
    spec = {**subject, "grants": [{"resource_type": "HOST", "entitlement": entitlement}]}
    output_of(daemon.invoke(PROFILES_SVC, "create", {"spec": spec}, security=admin(daemon)))


def claims(issuer, **more):
    return {"iss": issuer, "exp": int(time.time()) + 120, "username": "ann", "domain": "corp",
            **more}


def exchange(daemon, token, op_id="ext"):
    return daemon.invoke(TOKEN_SVC, "create", security=oauth(token), app={"opId": op_id})


def payload(token: str) -> dict:
    part = token.split(".")[1]
    return json.loads(base64.urlsafe_b64decode(part + "=" * (-len(part) % 4)))


def forge_hs256(claims_: dict, secret: bytes) -> str:
    """PyJWT refuses a PEM text as an HMAC secret; a forger does not."""
    def b64(data: bytes) -> bytes:
        return base64.urlsafe_b64encode(data).rstrip(b"=")
    signing_input = b64(b'{"alg":"HS256","typ":"JWT"}') + b"." + b64(json.dumps(claims_).encode())
    signature = hmac.new(secret, signing_input, hashlib.sha256).digest()
    return (signing_input + b"." + b64(signature)).decode()


def refusal_id(answer) -> str:
    messages = assert_error_kind(answer, "unauthenticated")["messages"]
    assert len(messages) == 1, messages
    return messages[0]["id"]


@pytest.mark.parametrize("alg,key", ALGORITHMS)
def test_a_token_of_each_algorithm_is_exchanged_with_the_profiles_entitlements(
        daemon, keys, alg, key):
    issuer, alias = f"https://idp/{alg}", f"idp-{alg}"
    assert output_of(register(daemon, alias, issuer, [[keys[key][1]]])) is None
    common = {"issuer_alias": alias, "domain": "corp"}
    grant(daemon, "OPERATOR", external_user="ann", **common)
    grant(daemon, "ADMINISTRATOR", external_group="admins", **common)
    grant(daemon, "READ_ONLY", external_group="other", **common)

    external = jwt.encode(claims(issuer, group_names=["admins@corp", "nobody@corp"]),
                          keys[key][0], algorithm=alg)
    token = output_of(exchange(daemon, external))["token"]
    issued = payload(token)
    assert issued["username"] == "ann"
    assert sorted(issued["entitlement"]) == ["ADMINISTRATOR", "OPERATOR"]
    # The external token is no daemon token, and the daemon token is verified as before.
    assert output_of(daemon.invoke(VERIFY_SVC, "verify", security=oauth(token))) == "ann"


def test_refusals_carry_their_message_and_log_line(daemon, keys):
    issuer = "https://idp/refusals"
    register(daemon, "refusals", issuer, [[keys["rsa"][1]]])
    rsa = keys["rsa"][0]
    past = int(time.time()) - 60
    cases = [
        ("not a token", "com.tessel.nox.authentication.invalid_token", "JWT not decodable: "),
        (jwt.encode(claims("https://unknown"), rsa, algorithm="RS256"),
         "com.tessel.nox.authentication.trust.security_token_issuers.issuer_not_found",
         "Didn't find the alias of the issuer https://unknown"),
        (jwt.encode({**claims(issuer), "exp": past}, keys["stranger"][0], algorithm="RS256"),
         INVALID_SIGNATURE, "Token validation failed: "),
        (jwt.encode({**claims(issuer), "exp": past}, rsa, algorithm="RS256"),
         "com.tessel.nox.authentication.token_expired",
         "Token validation failed, token validity expired"),
        (jwt.encode({"iss": issuer, "username": "ann"}, rsa, algorithm="RS256"),
         "com.tessel.nox.authentication.token_expired",
         "Token validation failed, token validity expired"),
        # libjwt alone would take the certificate's text as an HMAC secret.
        (forge_hs256(claims(issuer), keys["rsa"][1].encode()), INVALID_SIGNATURE,
         "Token validation failed: "),
    ]
    for n, (token, message, line) in enumerate(cases):
        since = daemon.log_offset()
        answer = exchange(daemon, token, op_id=f"refusal-{n}")
        assert refusal_id(answer) == message, token
        daemon.wait_for_prefix(f"refusal-{n}", line, since)


def test_second_certificate_of_a_chain_and_changes_take_effect_on_the_next_call(daemon, keys):
    issuer = "https://idp/rotating"
    register(daemon, "rotating", issuer, [[keys["stranger"][1], keys["rsa"][1]]])
    external = jwt.encode(claims(issuer), keys["rsa"][0], algorithm="RS256")

    since = daemon.log_offset()
    output_of(exchange(daemon, external, op_id="second-cert"))
    daemon.sync_log("second-cert-sync")
    attempts = [r for r in daemon.records_of("second-cert", since)
                if r.text.startswith("Attempting cert ")]
    assert len(attempts) == 1 and "CERTIFICATE" in attempts[0].text

    register(daemon, "rotating", None, [[keys["stranger"][1]]], operation="set")
    assert refusal_id(exchange(daemon, external)) == INVALID_SIGNATURE

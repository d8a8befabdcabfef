"""Token creation and verification over HTTP, with the PAM user file of the dev root."""

import base64
import json
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import jwt
import pytest

from conftest import (
    CLEAN,
    PROVIDER_SVC,
    TOKEN_SVC,
    VERIFY_SVC,
    assert_error_kind,
    error_of,
    oauth,
    output_of,
    user_pass,
)

CANNOT_ISSUE = "Cannot issue a jwt token, username not found"
OAUTH_PRESENTED = "OAuthSecurityContext is presented!"


def b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def b64url_json(value) -> str:
    return b64url(json.dumps(value, separators=(",", ":")).encode())


def decode_segment(segment: str):
    return json.loads(base64.urlsafe_b64decode(segment + "=" * (-len(segment) % 4)))


def create_checked(daemon, name, password=None):
    """Creates a token and returns (token, claims, whole seconds before, whole seconds after)."""
    before = int(time.time())
    token = daemon.create_token(name, password)
    after = int(time.time())
    claims = jwt.decode(token, key=daemon.root.secret(), algorithms=["HS256"])
    return token, claims, before, after


# --- creation -------------------------------------------------------------------------------


@pytest.mark.parametrize("name,entitlement", [("root", ["ADMINISTRATOR"]), ("alice", [])])
def test_created_token_verifies_with_the_secret_and_has_exactly_the_claims(
    daemon, name, entitlement
):
    token, claims, before, after = create_checked(daemon, name)

    assert token.count(".") == 2
    assert jwt.get_unverified_header(token)["alg"] == "HS256"
    assert set(claims) == {"username", "exp", "entitlement"}
    assert claims["username"] == name
    assert isinstance(claims["exp"], int)
    assert before + 300 <= claims["exp"] <= after + 300
    assert claims["entitlement"] == entitlement


def test_token_answer_shape_in_both_encodings(daemon):
    alice = user_pass("alice", "pw2")
    standard = daemon.invoke(TOKEN_SVC, "create", security=alice)
    clean = daemon.invoke(TOKEN_SVC, "create", security=alice, accept=CLEAN)

    assert output_of(standard)["_type"] == f"{TOKEN_SVC}.token_info"
    assert set(output_of(standard)) == {"_type", "token"}
    assert set(output_of(clean)) == {"token"}


def test_refused_credentials_get_no_token(daemon):
    calls = [user_pass("root", "not-the-password"), user_pass("mallory", "secret1")]
    with ThreadPoolExecutor(max_workers=len(calls)) as pool:
        answers = list(pool.map(lambda sec: daemon.post_json(TOKEN_SVC, "create", sec), calls))

    for answer, text in answers:
        assert assert_error_kind(answer, "unauthenticated")["messages"] == []
        assert "token" not in text and "not-the-password" not in text


@pytest.mark.parametrize(
    "security",
    [None, {"schemeId": "com.tessel.orbi.std.security.user_pass", "userName": "root"},
     {"schemeId": "com.example.unknown", "userName": "root", "password": "secret1"}],
    ids=["no-context", "no-password", "unknown-scheme"],
)
def test_unauthenticated_create_is_refused_with_log_line(daemon, security):
    since = daemon.log_offset()
    op = f"no-creds-{len(str(security))}"
    answer = daemon.invoke(TOKEN_SVC, "create", security=security, app={"opId": op})

    assert_error_kind(answer, "unauthenticated")
    record = daemon.wait_for_line(op, CANNOT_ISSUE, since)
    assert record.level == 110


# --- verification ---------------------------------------------------------------------------


def test_verify_answers_the_token_user(daemon):
    since = daemon.log_offset()
    token = daemon.create_token("alice")

    answer = daemon.invoke(VERIFY_SVC, "verify", security=oauth(token), app={"opId": "verify-good"})

    assert output_of(answer) == "alice"
    record = daemon.wait_for_line("verify-good", OAUTH_PRESENTED, since)
    assert (record.level, record.logger) == (5, "TokenVerifyImpl")


def forged(secret: bytes, **claims) -> str:
    payload = {"username": "root", "exp": int(time.time()) + 300, "entitlement": ["ADMINISTRATOR"]}
    payload.update(claims)
    return jwt.encode(payload, secret, algorithm="HS256")


def flip_last_bytes(signature: str) -> str:
    return signature[:-2] + ("AA" if signature[-2:] != "AA" else "BB")


def bad_tokens(daemon):
    secret = daemon.root.secret()
    good = daemon.create_token("alice")
    header, payload, signature = good.split(".")
    claims = decode_segment(payload)
    now = int(time.time())
    none_header = b64url_json({"alg": "none", "typ": "JWT"})
    escalated = b64url_json({**claims, "username": "root", "entitlement": ["ADMINISTRATOR"]})
    return {
        "expired": forged(secret, exp=now - 5),
        "tampered-payload": ".".join([header, escalated, signature]),
        "tampered-signature": ".".join([header, payload, flip_last_bytes(signature)]),
        "other-key": forged(b"not-the-daemon-secret-0123456789"),
        "alg-none": ".".join([none_header, payload, ""]),
        "alg-none-kept-signature": ".".join([none_header, payload, signature]),
        "hs512": jwt.encode({**claims}, secret, algorithm="HS512"),
        "two-segments": f"{header}.{payload}",
        "garbage": "not.a.token",
        "empty": "",
        "oversized": "a" * 100_000 + "." + "b" * 100_000 + "." + "c" * 1000,
    }


REFUSALS = {
    "expired": ("com.tessel.nox.authentication.token_expired",) + ("JWT validity expired",) * 2,
    "invalid": ("com.tessel.nox.authentication.invalid_token",) + ("Invalid JWT",) * 2,
}


def test_bad_tokens_never_reach_the_service(daemon):
    since = daemon.log_offset()
    tokens = bad_tokens(daemon)
    # Control: a good token from the same secret does reach it.
    good = oauth(daemon.create_token("root"))
    output_of(daemon.invoke(VERIFY_SVC, "verify", security=good, app={"opId": "ctl"}))

    failures = {}
    for name, token in tokens.items():
        app = {"opId": f"bad-{name}"}
        answer, text = daemon.post_json(VERIFY_SVC, "verify", oauth(token), app=app)
        error = error_of(answer)
        why = REFUSALS["expired" if name == "expired" else "invalid"]
        messages = [(m["id"], m["default_message"], m["localized"]) for m in error["messages"]]
        if error.get("error_type") != "UNAUTHENTICATED" or messages != [why]:
            failures[name] = answer
        elif len(probe := max(token.split("."), key=len)[-16:]) == 16 and probe in text:
            failures[name] = "the answer repeats the presented token"
    daemon.sync_log("bad-tokens-sync")

    assert failures == {}
    records = daemon.records(since)
    assert any(r.op_id == "ctl" and r.text == OAUTH_PRESENTED for r in records)
    reached = [r for r in records if r.op_id.startswith("bad-") and r.logger == "TokenVerifyImpl"]
    assert reached == []


def test_verify_with_user_and_password_is_invalid_argument(daemon):
    since = daemon.log_offset()
    root = user_pass("root", "secret1")
    answer, text = daemon.post_json(VERIFY_SVC, "verify", root, app={"opId": "verify-up"})

    assert_error_kind(answer, "invalid_argument")
    assert "secret1" not in text
    daemon.wait_for_line("verify-up", "No Access Token", since)
    texts = {(r.level, r.text) for r in daemon.records_of("verify-up", since)}
    assert (5, "UserPass is presented!") in texts
    assert (3, "No Access Token") in texts


def test_verify_without_credentials_is_invalid_argument(daemon):
    since = daemon.log_offset()
    answer = daemon.invoke(VERIFY_SVC, "verify", app={"opId": "verify-none"})
    assert_error_kind(answer, "invalid_argument")
    record = daemon.wait_for_line("verify-none", "No Authentication Data", since)
    assert record.level == 3


def test_wrong_passwords_do_not_stall_verification(daemon):
    token = daemon.create_token("alice")
    sending = [threading.Event(), threading.Event()]
    refused = []

    def send_wrong_passwords(event):
        for _ in range(2):
            event.set()
            refused.append(daemon.invoke(TOKEN_SVC, "create", security=user_pass("alice", "wrong")))

    senders = [threading.Thread(target=send_wrong_passwords, args=(e,)) for e in sending]
    for sender in senders:
        sender.start()
    assert all(e.wait(10) for e in sending)
    time.sleep(0.3)  # lets both wrong passwords reach PAM's failure delay

    verified = 0
    for _ in range(5000):
        if not any(s.is_alive() for s in senders):
            break
        assert output_of(daemon.invoke(VERIFY_SVC, "verify", security=oauth(token))) == "alice"
        verified += 1
    for sender in senders:
        sender.join(30)

    assert len(refused) == 4
    for answer in refused:
        assert_error_kind(answer, "unauthenticated")
    # Two PAM delays in a row per sender: a daemon whose threads wait in PAM answers a handful.
    assert verified >= 20, verified


# --- switches and the secret file (own daemons) ---------------------------------------------


def test_switch_off_tokens_have_no_entitlement_claim_and_still_verify(new_root, run_daemon):
    root = new_root()
    root.set_features(external_sts=False)
    daemon = run_daemon(root)

    for name in ("root", "alice"):
        token, claims, before, after = create_checked(daemon, name)
        assert set(claims) == {"username", "exp"}
        assert claims["username"] == name
        assert before + 300 <= claims["exp"] <= after + 300
        assert output_of(daemon.invoke(VERIFY_SVC, "verify", security=oauth(token))) == name


def test_secret_file_problems_fail_creation_until_the_file_is_right(new_root, run_daemon):
    root = new_root()
    root.secret_file.unlink()
    daemon = run_daemon(root)

    for content in (None, b"", b"\0after-a-leading-nul"):
        if content is not None:
            root.secret_file.write_bytes(content)
        answer = daemon.invoke(TOKEN_SVC, "create", security=user_pass("root", "secret1"))
        assert "error" in answer.get("result", {}), (content, answer)
        assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"

    key = b"k" * 20 + b"\0" + b"ignored after the nul"
    root.secret_file.write_bytes(key)
    token = daemon.create_token("root")
    assert jwt.decode(token, key=b"k" * 20, algorithms=["HS256"])["username"] == "root"

    # Loaded once: neither a removed nor a rewritten file changes the key until a restart.
    root.secret_file.unlink()
    later = daemon.create_token("alice")
    assert jwt.decode(later, key=b"k" * 20, algorithms=["HS256"])["username"] == "alice"
    assert output_of(daemon.invoke(VERIFY_SVC, "verify", security=oauth(later))) == "alice"

"""Token creation and verification over HTTP, with the PAM user file of the dev root; and
password guessing: failures count per (target user, calling host user), and a caller that
failed too often for a user is refused at once for a while. The calling host user is the owner
of the client's socket, so the guesser runs as another uid (setpriv; the suite runs as root)."""

import os
import time
from concurrent.futures import ThreadPoolExecutor

import jwt
import pytest

from conftest import (NOX, TOKEN_SVC, USER_PASS, VERIFY_SVC, assert_error_kind,
                      b64url_json, message_ids, message_texts, oauth, output_of, post_as,
                      request_body, user_pass)


@pytest.mark.parametrize("name,entitlement", [("root", ["ADMINISTRATOR"]), ("alice", [])])
def test_created_token_has_exactly_the_claims_and_is_not_logged(daemon, name, entitlement):
    since, before = daemon.log_offset(), int(time.time())
    output = output_of(daemon.create(user_pass(name), name))
    after, token = int(time.time()), output["token"]

    assert output == {"_type": f"{TOKEN_SVC}.token_info", "token": token}
    assert jwt.get_unverified_header(token)["alg"] == "HS256"
    claims = daemon.claims(token)
    assert set(claims) == {"username", "exp", "entitlement"}
    assert (claims["username"], claims["entitlement"]) == (name, entitlement)
    assert isinstance(claims["exp"], int) and before + 300 <= claims["exp"] <= after + 300
    result = daemon.wait_for_line(name, "MethodResult: ", since, how=str.startswith)
    assert f"(secret, {len(token)} bytes)" in result.text


CANNOT_ISSUE = "Cannot issue a jwt token, username not found"


@pytest.mark.parametrize("security,line", [
    (user_pass("root", "not-the-password"), None),
    ({"schemeId": USER_PASS, "userName": "root"}, CANNOT_ISSUE),
    ({"schemeId": "com.example.unknown", "userName": "root", "password": "secret1"}, CANNOT_ISSUE),
], ids=["wrong-password", "no-password", "unknown-scheme"])
def test_refused_credentials_get_no_token(daemon, security, line):
    since = daemon.log_offset()
    body = request_body(TOKEN_SVC, "create", security=security, app={"opId": "refused"})
    response = daemon.post(body)

    assert assert_error_kind(response.json(), "unauthenticated")["messages"] == []
    assert "token" not in response.text and "not-the-password" not in response.text
    # Logged with the call's op id, also after PAM's failure delay.
    failed = daemon.wait_for_line("refused", "MethodResult [FAIL]", since, str.startswith)
    assert failed.level == 3
    assert not any(r.op_id == "" and "MethodResult" in r.text for r in daemon.records(since))
    if line:
        assert daemon.wait_for_line("refused", line, since).level == 110


EXPIRED = (NOX + "token_expired",) + ("JWT validity expired",) * 2
INVALID = (NOX + "invalid_token",) + ("Invalid JWT",) * 2


# Every kind of bad token has a unit test; here one of each refusal shows none reaches verify.
def test_verify_answers_for_a_good_daemon_token_only(daemon):
    since, secret = daemon.log_offset(), daemon.root.secret()
    header, payload, signature = daemon.create_token("alice").split(".")
    claims = daemon.claims(".".join([header, payload, signature]))
    tokens = {
        "expired": (jwt.encode({**claims, "exp": int(time.time()) - 5}, secret, "HS256"), EXPIRED),
        "tampered": (".".join([header, b64url_json({**claims, "username": "root"}), signature]),
                     INVALID),
        "alg-none": (".".join([b64url_json({"alg": "none"}), payload, ""]), INVALID),
    }
    good = oauth(daemon.create_token("root"))
    answer = daemon.invoke(VERIFY_SVC, "verify", security=good, app={"opId": "good"})
    assert output_of(answer) == "root"
    response = daemon.post(request_body(VERIFY_SVC, "verify", security=user_pass("root")))
    assert_error_kind(response.json(), "invalid_argument")
    assert "secret1" not in response.text

    for name, (token, message) in tokens.items():
        body = request_body(VERIFY_SVC, "verify", security=oauth(token), app={"opId": "bad"})
        response = daemon.post(body)
        error = assert_error_kind(response.json(), "unauthenticated")
        assert [(m["id"], m["default_message"], m["localized"]) for m in error["messages"]] == [
            message], name
        assert max(token.split("."), key=len)[-16:] not in response.text, name
    daemon.sync_log("bad-tokens-sync")
    records = daemon.records(since)
    presented = "OAuthSecurityContext is presented!"
    assert any(r.op_id == "good" and r.text == presented for r in records)
    assert [r for r in records if r.op_id == "bad" and r.logger == "TokenVerifyImpl"] == []


def test_wrong_passwords_do_not_stall_verification(daemon):
    token = oauth(daemon.create_token("alice"))
    wrong = user_pass("alice", "wrong")
    # As many at once as the daemon has HTTP threads, each waiting out PAM's failure delay.
    with ThreadPoolExecutor(2) as pool:
        refused = [pool.submit(daemon.invoke, TOKEN_SVC, "create", security=wrong) for _ in "ab"]
        time.sleep(0.3)
        verified = 0
        while not all(f.done() for f in refused) and verified < 5000:
            assert output_of(daemon.invoke(VERIFY_SVC, "verify", security=token)) == "alice"
            verified += 1

    for future in refused:
        assert_error_kind(future.result(), "unauthenticated")
    # A daemon whose threads wait in PAM answers a handful.
    assert verified >= 20, verified


# Which files give which key is the secret file's unit tests'; here the daemon's answer to one,
# reported at start-up as well.
def test_a_fifo_at_the_secret_path_is_refused_without_blocking(new_root, run_daemon):
    root = new_root()
    secret = root.secret()
    root.secret_file.unlink()
    os.mkfifo(root.secret_file, 0o600)
    daemon = run_daemon(root)

    assert [(r.level, r.text) for r in daemon.records() if "signing secret" in r.text.lower()] == [
        (2, f"Signing secret file {root.secret_file} is not a regular file; refusing it; no token "
            "can be created until it is readable")]
    error = assert_error_kind(daemon.create(user_pass("root")), "internal_server_error")
    assert "is not a regular file" in message_texts(error)
    assert daemon.serves()
    root.secret_file.unlink()
    root.secret_file.write_bytes(secret)
    assert jwt.decode(daemon.create_token("alice"), key=secret, algorithms=["HS256"])


GUESSER_UID = 65534
TOO_MANY = NOX + "too_many_attempts"


def create_as(daemon, uid: int, *batches):
    """Token create calls from a process of host user `uid`, one batch at a time."""
    return post_as(daemon, uid, *[[request_body(TOKEN_SVC, "create", security=user_pass(*c))
                                   for c in batch] for batch in batches])


@pytest.mark.skipif(os.getuid() != 0, reason="running a client as another uid needs root")
def test_a_guesser_is_throttled_per_target_user_and_caller(daemon):
    since = daemon.log_offset()
    wrong = ("root", "guess")
    # Of seven wrong at once, five are checked (all fail); the other two wait for a place and
    # are answered with the wait the fifth failure starts, unchecked.
    answers = create_as(daemon, GUESSER_UID, [wrong] * 7)
    errors = [assert_error_kind(answer, "unauthenticated") for answer in answers]
    throttled = [e["messages"] for e in errors if e.get("messages")]
    assert len(throttled) == 2, answers
    for messages in throttled:
        message, = messages
        assert (message["id"], message["default_message"]) == (
            TOO_MANY, "Too many failed attempts; try again in 1 s"), messages
    # Root from another host user, and another user from the guesser's, are not held back; of
    # twelve right at once, those beyond five checks wait for a place, and none is refused.
    assert output_of(create_as(daemon, os.getuid(), [("root",)])[0])["token"]
    for answer in create_as(daemon, GUESSER_UID, [("alice",)] * 12):
        assert output_of(answer)["token"]

    # Each refusal is recorded with the name its checks found a host user, the throttled too.
    guessed = [r for r in daemon.root.trail()
               if r["event"] == "credential.refused" and r.get("caller_uid") == GUESSER_UID]
    assert [r["subject"] for r in guessed] == [{"user": "root", "host_user": True}] * 7, guessed

    # One line for the wait that began, none for the attempts refused during it.
    lines = [r for r in daemon.records(since) if r.logger == "PasswordThrottle"]
    assert [(r.level, r.text) for r in lines] == [
        (3, f"Password attempts for user root from caller uid {GUESSER_UID} refused for 1 s "
            "after 5 consecutive failures")], lines

    # Names of no host user count together: a new name for every guess gains nothing. The name
    # of a host user the guesser's checks found (alice) is not held back with them.
    since = daemon.log_offset()
    made_up = [(f"nobody{i}", "guess") for i in range(5)]
    create_as(daemon, GUESSER_UID, made_up)
    answer, = create_as(daemon, GUESSER_UID, [("nobody5", "guess")])
    assert message_ids(assert_error_kind(answer, "unauthenticated")) == [TOO_MANY], answer
    assert output_of(create_as(daemon, GUESSER_UID, [("alice",)])[0])["token"]
    lines = [r for r in daemon.records(since) if r.logger == "PasswordThrottle"]
    assert [(r.level, r.text) for r in lines] == [
        (3, f"Password attempts for names of no host user from caller uid {GUESSER_UID} refused "
            "for 1 s after 5 failures on such names")], lines

"""Password guessing: failures count per (target user, calling host user), and a caller that
failed too often for a user is refused at once for a while. The calling host user is the owner
of the client's socket, so the guesser runs as another uid (setpriv; the suite runs as root)."""

import json
import os

import pytest

from conftest import (NOX, TOKEN_SVC, assert_error_kind, message_ids, output_of, post_as,
                      request_body, user_pass)

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
    trail = daemon.root.audit_trail.read_text().splitlines()
    guessed = [r for r in map(json.loads, trail)
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

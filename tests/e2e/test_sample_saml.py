"""scripts/sample-saml: its assertion passes nox-saml-check with its issuer certificate only."""

import json
import subprocess

from conftest import BIN_DIR, REPO


def test_sample_assertion_verifies_with_its_issuer_only(tmp_path):
    made = subprocess.run(
        [REPO / "scripts/sample-saml", tmp_path, "--subject", "grace@LAB.TEST", "--issuer",
         "https://idp.lab.test/saml", "--minutes", "5"],
        capture_output=True, text=True, timeout=120,
    )
    assert made.returncode == 0, made.stderr
    check = [BIN_DIR / "nox-saml-check", tmp_path / "assertion.xml"]

    trusted = subprocess.run([*check, tmp_path / "issuer.cert.pem"], capture_output=True,
                             text=True, timeout=60)
    untrusted = subprocess.run([*check, tmp_path / "client.cert.pem"], capture_output=True,
                               text=True, timeout=60)

    assert trusted.returncode == 0, trusted.stdout + trusted.stderr
    model = json.loads(trusted.stdout)
    assert (model["issuer"], model["subject"]) == (
        "https://idp.lab.test/saml", {"name": "grace", "domain": "LAB.TEST"})
    assert model["confirmationType"] == "holder-of-key"
    client_key = subprocess.run(["openssl", "x509", "-pubkey", "-noout", "-in",
                                 tmp_path / "client.cert.pem"], capture_output=True, text=True,
                                check=True).stdout
    assert model["confirmationPublicKey"] == "".join(
        line for line in client_key.splitlines() if not line.startswith("-----"))
    assert untrusted.returncode == 1

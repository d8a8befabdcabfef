"""A SAML holder-of-key client for the end-to-end tests and the benchmark: assertions rendered
from the SAML library's templates (lib/ssoclient/testdata), signed by the xmlsec1 command, and
calls signed the way docs/saml.md tells clients to."""

import base64
import datetime
import json
import re
import subprocess
from pathlib import Path
from typing import NamedTuple, Optional

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

TESTDATA = Path(__file__).resolve().parents[2] / "lib" / "ssoclient" / "testdata"
SAML_HOK = "com.tessel.orbi.std.security.saml_hok_token"
ISSUER = "https://sts.example.test/issuer"


class Key(NamedTuple):
    key_pem: Path
    cert_pem: Path

    def cert_text(self) -> str:
        return self.cert_pem.read_text()

    def private_key(self):
        return serialization.load_pem_private_key(self.key_pem.read_bytes(), password=None)


def make_key(directory: Path, name: str, spec: str = "rsa:2048") -> Key:
    """`spec` as openssl req -newkey takes it, e.g. "ec -pkeyopt ec_paramgen_curve:P-256"."""
    key = Key(directory / f"{name}.key.pem", directory / f"{name}.cert.pem")
    subprocess.run(f"openssl req -x509 -nodes -days 2 -newkey {spec} -subj /CN={name} "
                   f"-keyout '{key.key_pem}' -out '{key.cert_pem}'",
                   shell=True, check=True, capture_output=True, timeout=60)
    return key


def iso(instant: datetime.datetime) -> str:
    return instant.strftime("%Y-%m-%dT%H:%M:%SZ")


def render(confirmation: Optional[Key], issuer: str = ISSUER,
           valid_from: Optional[datetime.datetime] = None) -> str:
    """An unsigned assertion for ada@EXAMPLE.TEST, valid for an hour from `valid_from` (five
    minutes ago by default); holder-of-key for `confirmation`, bearer when it is None."""
    start = valid_from or datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(
        minutes=5)
    end = iso(start + datetime.timedelta(hours=1))
    part = "confirmation-hok.xml" if confirmation else "confirmation-bearer.xml"
    certificate = confirmation.cert_text().strip().splitlines()[1:-1] if confirmation else []
    values = {
        "SUBJECT_CONFIRMATION": (TESTDATA / part).read_text(),
        "CONDITIONS": (TESTDATA / "conditions.xml").read_text(),
        "ATTRIBUTE_STATEMENT": (TESTDATA / "attributes.xml").read_text(),
        "CONFIRMATION_CERTIFICATE": "".join(certificate),
        "CONFIRMATION_NOT_ON_OR_AFTER": end,
        "NOT_ON_OR_AFTER": end,
        "ISSUE_INSTANT": iso(start),
        "NOT_BEFORE": iso(start),
        "SUBJECT": "ada@EXAMPLE.TEST",
        "SIGNATURE_METHOD": "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256",
        "ID": "_e2e-token",
        "REFERENCE_URI": "#_e2e-token",
    }
    xml = (TESTDATA / "assertion.xml").read_text()
    for _ in range(2):  # fragments hold placeholders of their own; others (advice...) stay empty
        xml = re.sub(r"@([A-Z_]+)@", lambda m: values.get(m[1], ""), xml)
    return xml.replace(ISSUER, issuer)


def sign(directory: Path, xml: str, signer: Key) -> str:
    unsigned, signed = directory / "to-sign.xml", directory / "signed.xml"
    unsigned.write_text(xml)
    subprocess.run(["xmlsec1", "--sign", "--privkey-pem", f"{signer.key_pem},{signer.cert_pem}",
                    "--id-attr:ID", "urn:oasis:names:tc:SAML:2.0:assertion:Assertion",
                    "--output", str(signed), str(unsigned)],
                   check=True, capture_output=True, timeout=60)
    return signed.read_text()


def canonical(value) -> bytes:
    """RFC 8785 for strings, integers, booleans, null, lists and objects whose member names are
    below U+E000 (Python's code-point order is then the UTF-16 order)."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def signature(private_key, algorithm: str, message: bytes) -> str:
    digest = {"256": hashes.SHA256, "384": hashes.SHA384, "512": hashes.SHA512}[algorithm[2:]]()
    if algorithm.startswith("RS"):
        raw = private_key.sign(message, padding.PKCS1v15(), digest)
    elif algorithm.startswith("PS"):
        raw = private_key.sign(
            message, padding.PSS(mgf=padding.MGF1(digest), salt_length=digest.digest_size), digest)
    else:  # ES*: JOSE form, r || s each of the curve's size
        r, s = decode_dss_signature(private_key.sign(message, ec.ECDSA(digest)))
        size = (private_key.curve.key_size + 7) // 8
        raw = r.to_bytes(size, "big") + s.to_bytes(size, "big")
    return base64.b64encode(raw).decode()


def security_context(token: str, holder: Optional[Key], algorithm: str, service: str,
                     operation: str, input=None, timestamp: Optional[str] = None) -> dict:
    """The securityCtx of a holder-of-key call, its proof made with `holder`'s private key."""
    timestamp = timestamp or iso(datetime.datetime.now(datetime.timezone.utc))
    context = {"schemeId": SAML_HOK, "samlHokToken": token, "samlHokTokenAlgorithm": algorithm,
               "signatureTimestamp": timestamp}
    if holder is not None:
        message = canonical({"input": {} if input is None else input, "operationId": operation,
                             "serviceId": service, "timestamp": timestamp})
        context["signatureValue"] = signature(holder.private_key(), algorithm, message)
    return context

"""What the Python benchmarks share: the JSON-RPC body of a call, service ids, a free port."""
import socket

TOKEN = "com.tessel.nox.authentication.token"
PROFILES = "com.tessel.nox.authentication.client_profiles"
ISSUERS = "com.tessel.nox.authentication.trust.security_token_issuers"
OAUTH = "com.tessel.orbi.std.security.oauth"
# The user every benchmark root is made with (scripts/dev-root --user root:secret1).
ROOT = {"schemeId": "com.tessel.orbi.std.security.user_pass", "userName": "root",
        "password": "secret1"}


def body(service, operation, input, security):
    return {"jsonrpc": "2.0", "id": "1", "method": "invoke",
            "params": {"serviceId": service, "operationId": operation, "input": input,
                       "ctx": {"securityCtx": security}}}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

#!/usr/bin/env python3
"""The test stack's OAuth 2.0 token endpoint: HTTPS on loopback, signed JWTs.

POST /token (application/x-www-form-urlencoded, client_secret_post):
  grant_type=client_credentials  client_id, client_secret, scope
  grant_type=refresh_token       refresh_token, client_id, client_secret
Answers {"access_token", "token_type", "expires_in", ["refresh_token"]} or
{"error", "error_description"} as RFC 6749 says. Refresh tokens rotate:
each refresh answers a new one and the old one stops working.

The client id chooses the kind of token (see CLIENTS), so tests can ask for
expired, wrong-user, wrong-scope and oversize tokens on demand.

POST /admin/refresh-token  user=NAME   a fresh refresh token for NAME
Every /token request is appended as one JSON line to the log file
(grant, client id, outcome; never a secret or a token), so tests can count
requests.

Tokens are HS256 JWTs with header kid, claims iss, sub, scope, iat, nbf,
exp, jti; Dovecot's oauth2 passdb validates them locally with the same key.
"""
import argparse
import base64
import hashlib
import hmac
import http.server
import json
import os
import secrets
import ssl
import sys
import threading
import time
import urllib.parse

# client id -> what its tokens look like. Every client's secret is
# CLIENT_SECRET unless it says otherwise.
CLIENT_SECRET = "tessaly-client-secret"
CLIENTS = {
    # Application tokens (client credentials) for one mailbox each.
    "app-alice": {"sub": "alice"},
    "app-bob": {"sub": "bob"},
    "app-carol": {"sub": "carol"},
    # Valid signature and claims, but expired an hour ago; expires_in lies.
    "app-expired": {"sub": "alice", "exp_offset": -3600},
    # A token for somebody else than the mailbox it is used for.
    "app-wronguser": {"sub": "mallory"},
    # A token without the scope the mail servers want.
    "app-wrongscope": {"sub": "alice", "scope": "calendar.read"},
    # A token of about 9 KB: larger than Dovecot takes in one SASL response.
    "app-oversize": {"sub": "alice", "pad": 9000},
    # Lives 60 s: below the check's renew margin, so never reused.
    "app-short": {"sub": "alice", "expires_in": 60},
    # No expires_in in the answer.
    "app-noexpiry": {"sub": "alice", "expires_in": None},
    # Delegated access: refresh tokens name the user.
    "refresh-client": {"refresh": True},
}


def b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


class Endpoint:
    def __init__(self, args):
        self.issuer = args.issuer
        self.kid = args.kid
        with open(args.key_file, "rb") as f:
            self.key = base64.b64decode(f.read().strip())
        self.log_path = args.log
        self.scope = args.scope
        self.lock = threading.Lock()
        self.refresh_tokens = {}  # token -> user

    def jwt(self, claims: dict) -> str:
        header = {"alg": "HS256", "typ": "JWT", "kid": self.kid}
        signing_input = (b64url(json.dumps(header, separators=(",", ":")).encode()) + "." +
                         b64url(json.dumps(claims, separators=(",", ":")).encode()))
        sig = hmac.new(self.key, signing_input.encode(), hashlib.sha256).digest()
        return signing_input + "." + b64url(sig)

    def new_refresh_token(self, user: str) -> str:
        token = "rt-" + user + "-" + secrets.token_urlsafe(18)
        with self.lock:
            self.refresh_tokens[token] = user
        return token

    def log(self, entry: dict):
        with self.lock, open(self.log_path, "a") as f:
            f.write(json.dumps(entry, sort_keys=True) + "\n")

    def token(self, form: dict):
        """Returns (HTTP status, JSON body, log entry)."""
        grant = form.get("grant_type", "")
        client_id = form.get("client_id", "")
        entry = {"grant_type": grant, "client_id": client_id}
        client = CLIENTS.get(client_id)
        if client is None or form.get("client_secret", "") != client.get("secret", CLIENT_SECRET):
            return 401, {"error": "invalid_client",
                         "error_description": "Client authentication failed for '%s'" %
                                              client_id}, entry
        if grant == "client_credentials" and not client.get("refresh"):
            user = client["sub"]
            rotated = None
        elif grant == "refresh_token" and client.get("refresh"):
            old = form.get("refresh_token", "")
            with self.lock:
                user = self.refresh_tokens.pop(old, None)
            if user is None:
                return 400, {"error": "invalid_grant",
                             "error_description": "The refresh token is invalid or was "
                                                  "already used"}, entry
            rotated = self.new_refresh_token(user)
        else:
            return 400, {"error": "unauthorized_client",
                         "error_description": "Grant '%s' not allowed for this client" %
                                              grant}, entry
        now = int(time.time())
        expires_in = client.get("expires_in", 3600)
        claims = {
            "iss": self.issuer,
            "sub": user,
            "scope": client.get("scope", self.scope),
            "iat": now,
            "nbf": now - 5,
            "exp": now + client.get("exp_offset", expires_in or 3600),
            "jti": secrets.token_hex(8),
        }
        if client.get("pad"):
            claims["pad"] = "p" * client["pad"]
        body = {"access_token": self.jwt(claims), "token_type": "Bearer"}
        if expires_in is not None:
            body["expires_in"] = expires_in
        if rotated:
            body["refresh_token"] = rotated
        entry["user"] = user
        return 200, body, entry


def make_handler(endpoint: Endpoint):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def reply(self, status, body):
            data = json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(data)

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length).decode("utf-8", "replace")
            form = {k: v[0] for k, v in urllib.parse.parse_qs(raw, keep_blank_values=True).items()}
            if self.path == "/token":
                status, body, entry = endpoint.token(form)
                entry["status"] = status
                entry["error"] = body.get("error", "")
                endpoint.log(entry)
                self.reply(status, body)
            elif self.path == "/admin/refresh-token":
                self.reply(200, {"refresh_token": endpoint.new_refresh_token(form.get("user", ""))})
            else:
                self.reply(404, {"error": "not_found"})

        def do_GET(self):
            self.reply(405, {"error": "method_not_allowed"})

    return Handler


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--issuer", required=True)
    p.add_argument("--kid", required=True)
    p.add_argument("--key-file", required=True, help="Base64 of the HS256 key")
    p.add_argument("--scope", default="mail")
    p.add_argument("--log", required=True)
    p.add_argument("--pidfile", required=True)
    args = p.parse_args()
    endpoint = Endpoint(args)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), make_handler(endpoint))
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(args.pidfile + ".tmp", "w") as f:
        f.write("%d\n" % os.getpid())
    os.rename(args.pidfile + ".tmp", args.pidfile)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())

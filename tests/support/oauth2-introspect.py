#!/usr/bin/python3
# A token-introspection endpoint (RFC 7662) on 127.0.0.1 for the OAuth2
# login tests: Dovecot's oauth2 passdb POSTs "token=TOKEN" to /introspect.
#
# Usage: oauth2-introspect.py USER VALID_TOKEN EXPIRED_TOKEN
# It listens on a free port and prints "listening PORT" once it accepts.
# VALID_TOKEN expires an hour from now, EXPIRED_TOKEN expired an hour ago;
# a token is active while it has not expired (RFC 7662 section 2.2), and
# unknown tokens are inactive. Every request is logged to stdout.
import json
import sys
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, HTTPServer

user, valid, expired = sys.argv[1], sys.argv[2], sys.argv[3]
now = int(time.time())
expiry = {valid: now + 3600, expired: now - 3600}


class Introspection(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode()
        token = urllib.parse.parse_qs(body).get("token", [""])[0]
        exp = expiry.get(token)
        if exp is not None and exp > time.time():
            reply = {"active": True, "username": user, "exp": exp, "scope": "mail"}
        else:
            reply = {"active": False}
        data = json.dumps(reply).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
        print("introspect", self.path, "active" if reply["active"] else "inactive", flush=True)

    def log_message(self, format, *args):
        pass


server = HTTPServer(("127.0.0.1", 0), Introspection)
print("listening", server.server_address[1], flush=True)
server.serve_forever()

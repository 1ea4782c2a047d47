#!/usr/bin/env python3
"""Loopback server for the end-to-end tests (standard library only).

HTTP and HTTPS (self-signed) with the same routes, and two forward proxies
(one wants Proxy-Authorization) that answer every request themselves, so a
proxied request shows up with its absolute URL as target. Prints one JSON
line with the ports when ready; stops on SIGTERM or at end of standard input.

Routes (each also takes ms=N to delay the answer): /pages/<file>[?status=N][&maxAge=S (Cache-Control)],
/html?body=, /hang?body= (never finishes), /never, /redirect?to=, /echo (the
request as JSON), /auth/<file>?user=&pass= (basic auth), /login?user=&pass=&next=
(the form of req_login.html: session cookie, redirect), /protected (needs that
cookie), /__log?path=prefix, /__reset.
"""

import argparse
import base64
import http.server
import json
import mimetypes
import os
import secrets
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import urllib.parse

STOP = threading.Event()
LOG, LOG_LOCK = [], threading.Lock()
SESSIONS = set()
VERBOSE = False


def page(title, body=""):
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%s</title></head><body>%s</body></html>" % (
        title, body or "<h1>%s</h1>" % title)


def basic_ok(value, credentials):
    try:
        return base64.b64decode(value.removeprefix("Basic ")).decode() == credentials
    except (AttributeError, ValueError):
        return False


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, addr, scheme, ctx=None, credentials="", family=socket.AF_INET):
        self.scheme, self.ctx, self.credentials, self.address_family = scheme, ctx, credentials, family
        super().__init__(addr, Handler)

    # Browsers drop connections all the time; tracebacks would drown the test output.
    def handle_error(self, request, client_address):
        if VERBOSE:
            super().handle_error(request, client_address)

    def finish_request(self, request, client_address):
        # Handshake in the connection's thread: a client that never speaks TLS cannot stall the others.
        try:
            super().finish_request(self.ctx.wrap_socket(request, server_side=True) if self.ctx else request,
                                   client_address)
        except (ssl.SSLError, OSError):
            pass


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        if VERBOSE:
            sys.stderr.write("[%s] %s\n" % (self.server.scheme, fmt % args))

    def do_GET(self):
        split = urllib.parse.urlsplit(self.path)
        self.route, self.query = split.path, dict(urllib.parse.parse_qsl(split.query, keep_blank_values=True))
        self.body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        headers = {}
        for name, value in self.headers.items():
            headers[name.lower()] = headers[name.lower()] + ", " + value if name.lower() in headers else value
        self.record = {"scheme": self.server.scheme, "method": self.command, "target": self.path,
                       "path": self.route, "query": self.query, "headers": headers,
                       "body": self.body.decode("utf-8", "replace")}
        if self.route not in ("/__log", "/__reset"):
            with LOG_LOCK:
                LOG.append(dict(self.record, seq=len(LOG) + 1))
            if STOP.wait(int(self.query.get("ms", 0)) / 1000.0):
                return
        if self.server.credentials and not basic_ok(self.headers.get("Proxy-Authorization"), self.server.credentials):
            return self.respond(407, page("Proxy authentication required"),
                                headers=[("Proxy-Authenticate", "Basic realm=\"hvn-proxy\"")])
        name = "r_" + self.route.strip("/").split("/")[0].strip("_")
        getattr(self, name, lambda: self.respond(404, page("Not found")))()

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_HEAD = do_GET

    def respond(self, status, body="", ctype="text/html; charset=utf-8", headers=()):
        body = body.encode() if isinstance(body, str) else body
        self.send_response(status)
        for name, value in [("Content-Type", ctype), ("Content-Length", str(len(body)))] + list(headers):
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def r_pages(self):
        root = os.path.realpath(self.server.pages_dir)
        path = os.path.realpath(os.path.join(root, urllib.parse.unquote(self.route.split("/", 2)[2])))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            return self.respond(404, page("Not found"))
        ctype = mimetypes.guess_type(path)[0] or "application/octet-stream"
        if ctype.startswith("text/") or ctype in ("application/javascript", "application/json"):
            ctype += "; charset=utf-8"
        cache = [("Cache-Control", "max-age=" + self.query["maxAge"])] if "maxAge" in self.query else []
        with open(path, "rb") as f:
            self.respond(int(self.query.get("status", 200)), f.read(), ctype, headers=cache)

    def r_html(self):
        self.respond(200, self.query.get("body", "<p>empty</p>"))

    def r_hang(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(self.query.get("body", "<!DOCTYPE html><html><body><p>loading").encode())
        self.wfile.flush()
        self.r_never()

    def r_never(self):
        STOP.wait()
        self.close_connection = True

    def r_redirect(self):
        self.respond(302, page("Moved"), headers=[("Location", self.query.get("to", "/html"))])

    def r_echo(self):
        text = json.dumps({k: v for k, v in self.record.items() if k not in ("scheme", "target")}, indent=1,
                          sort_keys=True)
        self.respond(200, page("Echo", "<pre id=\"echo\">%s</pre>" % text.replace("&", "&amp;").replace("<", "&lt;")))

    def r_auth(self):
        if not basic_ok(self.headers.get("Authorization"), self.query.get("user", "") + ":" + self.query.get("pass", "")):
            return self.respond(401, page("Unauthorized"), headers=[("WWW-Authenticate", "Basic realm=\"hvn\"")])
        self.r_pages()

    def r_login(self):
        form = dict(urllib.parse.parse_qsl(self.body.decode(), keep_blank_values=True))
        if (form.get("user"), form.get("password")) != (self.query.get("user"), self.query.get("pass")):
            return self.respond(403, page("Login failed"))
        token = secrets.token_hex(16)
        SESSIONS.add(token)
        self.respond(302, page("Signed in"), headers=[("Location", self.query.get("next", "/protected")),
                                                      ("Set-Cookie", "hvn_session=%s; Path=/; HttpOnly" % token)])

    def r_protected(self):
        cookies = dict(p.strip().partition("=")[::2] for p in (self.headers.get("Cookie") or "").split(";"))
        if cookies.get("hvn_session") not in SESSIONS:
            return self.respond(403, page("Not logged in"))
        self.respond(200, page("Protected content"))

    def r_log(self):
        with LOG_LOCK:
            entries = [e for e in LOG if e["path"].startswith(self.query.get("path", ""))]
        self.respond(200, json.dumps(entries), "application/json")

    def r_reset(self):
        with LOG_LOCK:
            LOG.clear()
        self.respond(200, "{}", "application/json")


def main():
    ap = argparse.ArgumentParser(description="Loopback server for the end-to-end tests")
    ap.add_argument("--pages", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "pages"))
    ap.add_argument("--stay", action="store_true", help="ignore standard input; stop only on a signal")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()
    global VERBOSE
    VERBOSE = args.verbose
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))

    # Loaded once; the folder goes at once, so a killed server leaves nothing behind.
    with tempfile.TemporaryDirectory(prefix="hvn-server-") as workdir:
        cert, key = os.path.join(workdir, "cert.pem"), os.path.join(workdir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                        "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", key, "-out", cert],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
    try:
        servers = [Server(("127.0.0.1", 0), scheme, ctx if scheme == "https" else None,
                          "proxyuser:proxypass" if scheme == "proxy-auth" else "")
                   for scheme in ("http", "https", "proxy", "proxy-auth")]
        ports = [s.server_address[1] for s in servers]
        # More loopback spellings of the HTTP port, where they can be bound.
        for host, family in (("::1", socket.AF_INET6), ("127.0.0.2", socket.AF_INET)):
            try:
                servers.append(Server((host, ports[0]), "http", family=family))
            except OSError:
                pass
        for srv in servers:
            srv.pages_dir = os.path.abspath(args.pages)
            threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
        print(json.dumps(dict(zip(("http", "https", "proxy", "proxy_auth"), ports))), flush=True)
        if args.stay:
            STOP.wait()
        while sys.stdin.buffer.read(4096):
            pass
    finally:
        STOP.set()


if __name__ == "__main__":
    main()

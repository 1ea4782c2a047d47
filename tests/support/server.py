#!/usr/bin/env python3
"""Loopback server for the end-to-end tests (standard library only).

Serves the same routes over HTTP and HTTPS (self-signed, made at start), plus
two forward proxies, one of which demands Proxy-Authorization. When ready it
prints one JSON line with the ports. It stops on SIGTERM or when its standard
input reaches end of file, so a crashed test binary cannot leave it behind.

Routes (any route also takes ms=N to delay the answer):
  /pages/<file>[?status=N]  static file from the pages folder
  /html?body=...            that HTML
  /hang?body=...            headers and the start of a body, then nothing
  /never                    reads the request and never answers
  /redirect?to=URL
  /echo                     HTML page showing method, path, query, headers and body as JSON
  /auth/<file>?user=&pass=  basic auth (401 + WWW-Authenticate otherwise)
  /login?user=&pass=&next=  POST of the form in req_login.html: sets the session cookie, redirects
  /protected                needs the session cookie (403 otherwise)
  /__log[?path=prefix]      every recorded request as JSON
  /__reset                  clears the log

Through the proxies, a request for a loopback host goes to that host; any
other host name is answered by this server (HTTP port for plain requests,
HTTPS port for CONNECT), so a test can prove the proxy was used: the browser
bypasses proxies for loopback addresses. The HTTP port also answers on ::1
and 127.0.0.2 when those can be bound.
"""

import argparse
import base64
import http.client
import http.server
import json
import mimetypes
import os
import secrets
import select
import shutil
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
SESSION_COOKIE = "hvn_session"
PROXY_CREDENTIALS = "proxyuser:proxypass"
VERBOSE = False


def log_line(handler, fmt, *args):
    if VERBOSE:
        sys.stderr.write("[%s] %s\n" % (handler.server.scheme, fmt % args))


def log_request(entry):
    with LOG_LOCK:
        entry["seq"] = len(LOG) + 1
        LOG.append(entry)


def header_dict(headers):
    out = {}
    for name, value in headers.items():
        key = name.lower()
        out[key] = out[key] + ", " + value if key in out else value
    return out


def html_page(title, body):
    return ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%s</title></head>"
            "<body>%s</body></html>" % (title, body)).encode()


def basic_ok(value, credentials):
    try:
        return value.startswith("Basic ") and base64.b64decode(value[6:].strip()).decode() == credentials
    except (AttributeError, ValueError):
        return False


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, addr, handler, scheme, ctx=None, credentials=""):
        self.scheme, self.ssl_ctx, self.credentials = scheme, ctx, credentials
        super().__init__(addr, handler)

    # Browsers drop connections all the time; tracebacks would drown the test output.
    def handle_error(self, request, client_address):
        if VERBOSE:
            super().handle_error(request, client_address)

    def finish_request(self, request, client_address):
        if self.ssl_ctx is not None:
            # Handshake here, in the connection's thread, so a client that never
            # speaks TLS cannot stall the accept loop.
            try:
                request = self.ssl_ctx.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)


class Server6(Server):
    address_family = socket.AF_INET6


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    log_message = log_line

    def do_GET(self):
        split = urllib.parse.urlsplit(self.path)
        self.route = split.path
        self.query = urllib.parse.parse_qs(split.query, keep_blank_values=True)
        length = int(self.headers.get("Content-Length") or 0)
        self.body = self.rfile.read(length) if length > 0 else b""
        internal = self.route in ("/__log", "/__reset")
        if not internal:
            log_request(self.record())
            if STOP.wait(int(self.param("ms", 0)) / 1000.0):
                return
        for prefix, fn in ROUTES:
            if self.route == prefix or (prefix.endswith("/") and self.route.startswith(prefix)):
                return fn(self)
        self.respond(404, html_page("Not found", "<h1>Not found</h1>"))

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_HEAD = do_GET

    def record(self):
        return {"scheme": self.server.scheme, "method": self.command, "target": self.path,
                "path": self.route, "query": {k: v[-1] for k, v in self.query.items()},
                "headers": header_dict(self.headers), "body": self.body.decode("utf-8", "replace")}

    def param(self, name, default=None):
        values = self.query.get(name)
        return values[-1] if values else default

    def respond(self, status, body=b"", ctype="text/html; charset=utf-8", headers=()):
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def r_pages(self, prefix="/pages/"):
        root = os.path.realpath(self.server.pages_dir)
        path = os.path.realpath(os.path.join(root, urllib.parse.unquote(self.route[len(prefix):])))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            return self.respond(404, html_page("Not found", "<h1>Not found</h1>"))
        with open(path, "rb") as f:
            data = f.read()
        ctype = mimetypes.guess_type(path)[0] or "application/octet-stream"
        if ctype.startswith("text/") or ctype in ("application/javascript", "application/json"):
            ctype += "; charset=utf-8"
        self.respond(int(self.param("status", 200)), data, ctype)

    def r_html(self):
        self.respond(200, self.param("body", "<p>empty</p>"))

    def r_hang(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(self.param("body", "<!DOCTYPE html><html><body><p>loading").encode())
        self.wfile.flush()
        self.r_never()

    def r_never(self):
        STOP.wait()
        self.close_connection = True

    def r_redirect(self):
        target = self.param("to", "/html")
        self.respond(302, html_page("Moved", "<a href=\"%s\">moved</a>" % target), headers=[("Location", target)])

    def r_echo(self):
        record = self.record()
        for key in ("scheme", "target"):
            del record[key]
        text = json.dumps(record, indent=1, sort_keys=True)
        escaped = text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        self.respond(200, html_page("Echo", "<pre id=\"echo\">%s</pre>" % escaped))

    def r_auth(self):
        credentials = self.param("user", "user") + ":" + self.param("pass", "pass")
        if not basic_ok(self.headers.get("Authorization"), credentials):
            return self.respond(401, html_page("Unauthorized", "<h1>Unauthorized</h1>"),
                                headers=[("WWW-Authenticate", "Basic realm=\"hvn\"")])
        self.r_pages("/auth/")

    def r_login(self):
        form = urllib.parse.parse_qs(self.body.decode("utf-8", "replace"), keep_blank_values=True)
        if form.get("user", [""])[-1] != self.param("user") or form.get("password", [""])[-1] != self.param("pass"):
            return self.respond(403, html_page("Login failed", "<h1>Login failed</h1>"))
        token = secrets.token_hex(16)
        SESSIONS.add(token)
        self.respond(302, html_page("Signed in", "<p>signed in</p>"),
                     headers=[("Location", self.param("next", "/protected")), ("Set-Cookie", "%s=%s; Path=/; HttpOnly" % (SESSION_COOKIE, token))])

    def r_protected(self):
        cookies = dict(p.strip().partition("=")[::2] for p in (self.headers.get("Cookie") or "").split(";"))
        if cookies.get(SESSION_COOKIE) not in SESSIONS:
            return self.respond(403, html_page("Forbidden", "<h1>Not logged in</h1>"))
        self.respond(200, html_page("Protected", "<h1>Protected content</h1>"))

    def r_log(self):
        prefix = self.param("path", "")
        with LOG_LOCK:
            entries = [e for e in LOG if e.get("path", "").startswith(prefix)]
        self.respond(200, json.dumps(entries), "application/json")

    def r_reset(self):
        with LOG_LOCK:
            LOG.clear()
        self.respond(200, "{}", "application/json")


ROUTES = [
    ("/pages/", Handler.r_pages),
    ("/html", Handler.r_html),
    ("/hang", Handler.r_hang),
    ("/never", Handler.r_never),
    ("/redirect", Handler.r_redirect),
    ("/echo", Handler.r_echo),
    ("/auth/", Handler.r_auth),
    ("/login", Handler.r_login),
    ("/protected", Handler.r_protected),
    ("/__log", Handler.r_log),
    ("/__reset", Handler.r_reset),
]


# ---- forward proxy -----------------------------------------------------------

HOP_BY_HOP = {"connection", "keep-alive", "proxy-authorization", "proxy-connection",
              "proxy-authenticate", "te", "trailer", "transfer-encoding", "upgrade", "content-length"}


def is_loopback(host):
    return host in ("localhost", "::1") or host.startswith("127.")


class ProxyHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    log_message = log_line

    def authorized(self):
        if not self.server.credentials or basic_ok(self.headers.get("Proxy-Authorization"), self.server.credentials):
            return True
        body = html_page("Proxy authentication required", "<h1>407</h1>")
        self.send_response(407)
        self.send_header("Proxy-Authenticate", "Basic realm=\"hvn-proxy\"")
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        return False

    def record(self, host, path):
        log_request({"scheme": self.server.scheme, "method": self.command, "target": self.path, "host": host,
                     "path": path, "query": {}, "headers": header_dict(self.headers), "body": ""})

    def do_CONNECT(self):
        host, _, port = self.path.rpartition(":")
        host = host.strip("[]")
        self.record(self.path, "")
        if not self.authorized():
            return
        dest = (host, int(port or 443)) if is_loopback(host) else ("127.0.0.1", self.server.https_port)
        try:
            upstream = socket.create_connection(dest, timeout=10)
        except OSError:
            return self.send_error(502)
        self.send_response(200, "Connection Established")
        self.end_headers()
        self.wfile.flush()
        socks = [self.connection, upstream]
        try:
            while not STOP.is_set():
                for s in select.select(socks, [], [], 0.5)[0]:
                    data = s.recv(65536)
                    if not data:
                        return
                    (upstream if s is self.connection else self.connection).sendall(data)
        except OSError:
            pass
        finally:
            upstream.close()
            self.close_connection = True

    def do_GET(self):
        split = urllib.parse.urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else None
        self.record(split.netloc, split.path)
        if not self.authorized():
            return
        if not split.scheme or not split.hostname:
            return self.send_error(400, "absolute URI expected")
        if is_loopback(split.hostname):
            dest = (split.hostname, split.port or 80)
        else:
            dest = ("127.0.0.1", self.server.http_port)
        target = (split.path or "/") + ("?" + split.query if split.query else "")
        try:
            conn = http.client.HTTPConnection(dest[0], dest[1], timeout=60)
            # Forward the headers as they came: no added Host or Accept-Encoding.
            conn.putrequest(self.command, target, skip_host=True, skip_accept_encoding=True)
            for name, value in self.headers.items():
                if name.lower() not in HOP_BY_HOP:
                    conn.putheader(name, value)
            if body is not None:
                conn.putheader("Content-Length", str(len(body)))
            conn.endheaders(body)
            resp = conn.getresponse()
            data = resp.read()
        except OSError:
            return self.send_error(502)
        self.send_response(resp.status, resp.reason)
        for name, value in resp.getheaders():
            if name.lower() not in HOP_BY_HOP:
                self.send_header(name, value)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        self.close_connection = True

    do_POST = do_PUT = do_DELETE = do_HEAD = do_OPTIONS = do_GET


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description="Loopback server for the end-to-end tests")
    ap.add_argument("--pages", default=os.path.join(here, "..", "e2e", "pages"))
    ap.add_argument("--stay", action="store_true", help="ignore standard input; stop only on a signal")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()
    global VERBOSE
    VERBOSE = args.verbose
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))

    # The certificate is loaded once; its folder goes at once, so a killed
    # server leaves nothing behind.
    workdir = tempfile.mkdtemp(prefix="hvn-server-")
    try:
        cert, key = os.path.join(workdir, "cert.pem"), os.path.join(workdir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                        "-keyout", key, "-out", cert],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    try:
        http_srv = Server(("127.0.0.1", 0), Handler, "http")
        port = http_srv.server_address[1]
        https_srv = Server(("127.0.0.1", 0), Handler, "https", ctx)
        proxy = Server(("127.0.0.1", 0), ProxyHandler, "proxy")
        proxy_auth = Server(("127.0.0.1", 0), ProxyHandler, "proxy-auth", credentials=PROXY_CREDENTIALS)
        servers = [http_srv, https_srv, proxy, proxy_auth]
        for host, cls in (("::1", Server6), ("127.0.0.2", Server)):
            try:
                servers.append(cls((host, port), Handler, "http"))
            except OSError:
                pass
        for srv in servers:
            srv.pages_dir = os.path.abspath(args.pages)
            srv.http_port, srv.https_port = port, https_srv.server_address[1]
            threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
        print(json.dumps({"http": port, "https": https_srv.server_address[1],
                          "proxy": proxy.server_address[1], "proxy_auth": proxy_auth.server_address[1]}), flush=True)
        if args.stay:
            STOP.wait()
        while sys.stdin.buffer.read(4096):
            pass
    finally:
        STOP.set()


if __name__ == "__main__":
    main()

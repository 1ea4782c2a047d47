#!/usr/bin/env python3
"""Loopback server for the end-to-end tests (standard library only).

Serves the same routes over HTTP and HTTPS (self-signed, made at start), plus
two forward proxies, one of which always demands Proxy-Authorization. When
ready it prints one JSON line with the ports. It stops on SIGTERM/SIGINT or
when its standard input reaches end of file, so a crashed test binary cannot
leave it behind.

Routes (every route also takes ms=N to delay the answer and header=Name:Value,
repeatable, to add response headers):
  /pages/<file>             static file from the pages folder
  /status/<code>            HTML page with that status
  /html?body=...            that HTML (status=, type= change the answer)
  /slow?ms=N&body=...       the same after N ms
  /hang?body=...            headers and the start of a body, then nothing
  /never                    reads the request and never answers
  /redirect?to=URL&code=302
  /echo[?as=html]           JSON of method, path, query, headers and body
  /auth/<file>?user=&pass=  basic auth (401 + WWW-Authenticate otherwise)
  /login?user=&pass=&next=  form; POST sets the session cookie, redirects
  /protected                needs the session cookie (403 otherwise)
  /__log[?path=prefix]      every recorded request as JSON
  /__reset                  clears the log

Through the proxies, a request for a loopback host goes to that host; any
other host name is answered by this server (HTTP port for plain requests,
HTTPS port for CONNECT), so a test can prove the proxy was used: the browser
bypasses proxies for loopback addresses.

The HTTP port also answers on ::1 and 127.0.0.2 when those can be bound, so
every spelling of the local machine reaches the same routes.
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
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

STOP = threading.Event()
VERBOSE = False


class RequestLog:
    def __init__(self):
        self._lock = threading.Lock()
        self._entries = []
        self._seq = 0

    def add(self, entry):
        with self._lock:
            self._seq += 1
            entry["seq"] = self._seq
            entry["time"] = time.time()
            self._entries.append(entry)

    def snapshot(self, prefix=""):
        with self._lock:
            return [e for e in self._entries if e.get("path", "").startswith(prefix)]

    def clear(self):
        with self._lock:
            self._entries.clear()


LOG = RequestLog()
SESSIONS = set()
SESSIONS_LOCK = threading.Lock()
SESSION_COOKIE = "hvn_session"


def header_dict(headers):
    out = {}
    for name, value in headers.items():
        key = name.lower()
        out[key] = out[key] + ", " + value if key in out else value
    return out


def html_page(title, body):
    return ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%s</title></head>"
            "<body>%s</body></html>" % (title, body)).encode()


def basic_ok(value, user, password):
    if not value or not value.startswith("Basic "):
        return False
    try:
        decoded = base64.b64decode(value[6:].strip()).decode("utf-8", "replace")
    except ValueError:
        return False
    return decoded == user + ":" + password


def wait_forever():
    STOP.wait()


class QuietServerMixin:
    # Browsers drop connections all the time; tracebacks would drown the test output.
    def handle_error(self, request, client_address):
        if VERBOSE:
            super().handle_error(request, client_address)


class Server(QuietServerMixin, http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, addr, handler, scheme, ctx=None):
        self.scheme = scheme
        self.ssl_ctx = ctx
        super().__init__(addr, handler)

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


def also_listen(port, handler):
    """The HTTP routes on the other loopback addresses, where they can be bound."""
    extra = []
    for host, cls in (("::1", Server6), ("127.0.0.2", Server)):
        try:
            extra.append(cls((host, port), handler, "http"))
        except OSError:
            pass
    return extra


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "HvnTest/1"

    def log_message(self, fmt, *args):
        if VERBOSE:
            sys.stderr.write("[%s] %s\n" % (self.server.scheme, fmt % args))

    def do_GET(self):
        self.dispatch()

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_HEAD = do_GET

    # ---- helpers -----------------------------------------------------------

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def param(self, name, default=None):
        values = self.query.get(name)
        return values[-1] if values else default

    def int_param(self, name, default):
        try:
            return int(self.param(name, default))
        except (TypeError, ValueError):
            return default

    def respond(self, status, body=b"", ctype="text/html; charset=utf-8", headers=()):
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", self.param("type", ctype))
        no_body = status in (204, 304) or 100 <= status < 200
        if not no_body:
            self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        for extra in self.query.get("header", []):
            name, _, value = extra.partition(":")
            if name.strip():
                self.send_header(name.strip(), value.strip())
        self.end_headers()
        if not no_body and self.command != "HEAD":
            self.wfile.write(body)

    # ---- dispatch ----------------------------------------------------------

    def dispatch(self):
        split = urllib.parse.urlsplit(self.path)
        self.route = split.path
        self.query = urllib.parse.parse_qs(split.query, keep_blank_values=True)
        self.body = self.read_body()
        if self.route not in ("/__log", "/__reset"):
            LOG.add({
                "scheme": self.server.scheme,
                "method": self.command,
                "target": self.path,
                "path": self.route,
                "query": {k: v[-1] for k, v in self.query.items()},
                "headers": header_dict(self.headers),
                "body": self.body.decode("utf-8", "replace"),
            })
        delay = self.int_param("ms", 0)
        if delay > 0 and self.route not in ("/__log", "/__reset"):
            if STOP.wait(delay / 1000.0):
                return
        for prefix, fn in ROUTES:
            if self.route == prefix or (prefix.endswith("/") and self.route.startswith(prefix)):
                return fn(self)
        self.respond(404, html_page("Not found", "<h1>Not found</h1><p>%s</p>" % self.route))

    # ---- routes ------------------------------------------------------------

    def r_pages(self):
        root = os.path.realpath(self.server.pages_dir)
        name = urllib.parse.unquote(self.route[len("/pages/"):])
        self.serve_file(root, name)

    def serve_file(self, root, name):
        path = os.path.realpath(os.path.join(root, name))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            return self.respond(404, html_page("Not found", "<h1>Not found</h1>"))
        with open(path, "rb") as f:
            data = f.read()
        ctype = mimetypes.guess_type(path)[0] or "application/octet-stream"
        if ctype.startswith("text/") or ctype in ("application/javascript", "application/json"):
            ctype += "; charset=utf-8"
        self.respond(self.int_param("status", 200), data, ctype)

    def r_status(self):
        try:
            code = int(self.route[len("/status/"):])
        except ValueError:
            code = 400
        self.respond(code, html_page("Status %d" % code, "<h1>Status %d</h1>" % code))

    def r_html(self):
        body = self.param("body", "<p>empty</p>")
        self.respond(self.int_param("status", 200), body)

    def r_hang(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(self.param("body", "<!DOCTYPE html><html><body><p>loading").encode())
        self.wfile.flush()
        wait_forever()
        self.close_connection = True

    def r_never(self):
        wait_forever()
        self.close_connection = True

    def r_redirect(self):
        target = self.param("to", "/html")
        self.respond(self.int_param("code", 302), html_page("Moved", "<a href=\"%s\">moved</a>" % target),
                     headers=[("Location", target)])

    def r_echo(self):
        record = {
            "method": self.command,
            "path": self.route,
            "query": {k: v[-1] for k, v in self.query.items()},
            "headers": header_dict(self.headers),
            "body": self.body.decode("utf-8", "replace"),
        }
        text = json.dumps(record, indent=1, sort_keys=True)
        if self.param("as") == "html":
            escaped = text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            self.respond(200, html_page("Echo", "<pre id=\"echo\">%s</pre>" % escaped))
        else:
            self.respond(200, text, "application/json")

    def r_auth(self):
        user, password = self.param("user", "user"), self.param("pass", "pass")
        if not basic_ok(self.headers.get("Authorization"), user, password):
            return self.respond(401, html_page("Unauthorized", "<h1>Unauthorized</h1>"),
                                headers=[("WWW-Authenticate", "Basic realm=\"hvn\"")])
        name = urllib.parse.unquote(self.route[len("/auth/"):])
        root = os.path.realpath(self.server.pages_dir)
        if name and os.path.isfile(os.path.join(root, name)):
            return self.serve_file(root, name)
        self.respond(200, html_page("Authorized", "<h1>Authorized</h1><p id=\"user\">%s</p>" % user))

    def r_login(self):
        user, password = self.param("user", "user"), self.param("pass", "pass")
        nxt = self.param("next", "/protected")
        if self.command != "POST":
            action = "/login?" + urllib.parse.urlencode({"user": user, "pass": password, "next": nxt})
            form = ("<h1>Sign in</h1><form id=\"login\" method=\"post\" action=\"%s\">"
                    "<input id=\"user\" name=\"user\" type=\"text\">"
                    "<input id=\"password\" name=\"password\" type=\"password\">"
                    "<button id=\"submit\" type=\"submit\">Sign in</button></form>") % action.replace("&", "&amp;")
            return self.respond(200, html_page("Login", form))
        form = urllib.parse.parse_qs(self.body.decode("utf-8", "replace"), keep_blank_values=True)
        if form.get("user", [""])[-1] != user or form.get("password", [""])[-1] != password:
            return self.respond(403, html_page("Login failed", "<h1>Login failed</h1>"))
        token = secrets.token_hex(16)
        with SESSIONS_LOCK:
            SESSIONS.add(token)
        self.respond(302, html_page("Signed in", "<p>signed in</p>"),
                     headers=[("Location", nxt),
                              ("Set-Cookie", "%s=%s; Path=/; HttpOnly" % (SESSION_COOKIE, token))])

    def r_protected(self):
        token = None
        for part in (self.headers.get("Cookie") or "").split(";"):
            name, _, value = part.strip().partition("=")
            if name == SESSION_COOKIE:
                token = value
        with SESSIONS_LOCK:
            ok = token in SESSIONS
        if not ok:
            return self.respond(403, html_page("Forbidden", "<h1>Not logged in</h1>"))
        self.respond(200, html_page("Protected", "<h1>Protected content</h1>"))

    def r_log(self):
        self.respond(200, json.dumps(LOG.snapshot(self.param("path", ""))), "application/json")

    def r_reset(self):
        LOG.clear()
        self.respond(200, "{}", "application/json")


ROUTES = [
    ("/pages/", Handler.r_pages),
    ("/status/", Handler.r_status),
    ("/html", Handler.r_html),
    ("/slow", Handler.r_html),
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
              "proxy-authenticate", "te", "trailer", "transfer-encoding", "upgrade"}


def is_loopback(host):
    return host in ("localhost", "::1", "[::1]") or host.startswith("127.")


class ProxyHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "HvnProxy/1"

    def log_message(self, fmt, *args):
        if VERBOSE:
            sys.stderr.write("[%s] %s\n" % (self.server.scheme, fmt % args))

    def authorized(self):
        if not self.server.credentials:
            return True
        user, _, password = self.server.credentials.partition(":")
        if basic_ok(self.headers.get("Proxy-Authorization"), user, password):
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
        LOG.add({"scheme": self.server.scheme, "method": self.command, "target": self.path,
                 "host": host, "path": path, "query": {}, "headers": header_dict(self.headers),
                 "body": ""})

    def do_CONNECT(self):
        host, _, port = self.path.rpartition(":")
        self.record(self.path, "")
        if not self.authorized():
            return
        if is_loopback(host.strip("[]")):
            dest = (host.strip("[]"), int(port or 443))
        else:
            dest = ("127.0.0.1", self.server.https_port)
        try:
            upstream = socket.create_connection(dest, timeout=10)
        except OSError:
            self.send_error(502)
            return
        self.send_response(200, "Connection Established")
        self.end_headers()
        self.wfile.flush()
        self.relay(self.connection, upstream)
        self.close_connection = True

    @staticmethod
    def relay(a, b):
        socks = [a, b]
        try:
            while not STOP.is_set():
                ready, _, _ = select.select(socks, [], [], 0.5)
                for s in ready:
                    data = s.recv(65536)
                    if not data:
                        return
                    (b if s is a else a).sendall(data)
        except OSError:
            pass
        finally:
            b.close()

    def do_GET(self):
        split = urllib.parse.urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else None
        self.record(split.netloc, split.path)
        if not self.authorized():
            return
        if not split.scheme or not split.hostname:
            self.send_error(400, "absolute URI expected")
            return
        if is_loopback(split.hostname):
            dest = (split.hostname, split.port or 80)
        else:
            dest = ("127.0.0.1", self.server.http_port)
        headers = {k: v for k, v in self.headers.items()
                   if k.lower() not in HOP_BY_HOP and k.lower() != "content-length"}
        target = split.path or "/"
        if split.query:
            target += "?" + split.query
        try:
            conn = http.client.HTTPConnection(dest[0], dest[1], timeout=60)
            # Forward the headers as they came: no added Host or Accept-Encoding.
            conn.putrequest(self.command, target, skip_host=True, skip_accept_encoding=True)
            for name, value in headers.items():
                conn.putheader(name, value)
            if body is not None:
                conn.putheader("Content-Length", str(len(body)))
            conn.endheaders(body)
            resp = conn.getresponse()
            data = resp.read()
        except OSError:
            self.send_error(502)
            return
        self.send_response(resp.status, resp.reason)
        for name, value in resp.getheaders():
            if name.lower() not in HOP_BY_HOP and name.lower() != "content-length":
                self.send_header(name, value)
        self.send_header("X-Hvn-Proxy", self.server.scheme)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        self.close_connection = True

    do_POST = do_PUT = do_DELETE = do_HEAD = do_OPTIONS = do_GET


class ProxyServer(QuietServerMixin, http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, addr, scheme, credentials):
        self.scheme = scheme
        self.credentials = credentials
        super().__init__(addr, ProxyHandler)


# ---- main --------------------------------------------------------------------


def make_certificate(folder):
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                    "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def main():
    global VERBOSE
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description="Loopback server for the end-to-end tests")
    ap.add_argument("pages_dir", nargs="?", help="same as --pages")
    ap.add_argument("--pages", default=os.path.join(here, "..", "e2e", "pages"))
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--proxy-auth", action="store_true",
                    help="the plain proxy demands credentials too")
    ap.add_argument("--proxy-credentials", default="proxyuser:proxypass")
    ap.add_argument("--stay", action="store_true",
                    help="ignore standard input; stop only on a signal")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()
    VERBOSE = args.verbose
    pages = os.path.abspath(args.pages_dir or args.pages)

    def on_signal(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    # The certificate is loaded once; its folder goes at once, so a killed
    # server leaves nothing behind.
    workdir = tempfile.mkdtemp(prefix="hvn-server-")
    try:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(*make_certificate(workdir))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    try:
        http_srv = Server((args.host, 0), Handler, "http")
        https_srv = Server((args.host, 0), Handler, "https", ctx)
        proxy = ProxyServer((args.host, 0), "proxy",
                            args.proxy_credentials if args.proxy_auth else "")
        proxy_auth = ProxyServer((args.host, 0), "proxy-auth", args.proxy_credentials)
        servers = [http_srv, https_srv, proxy, proxy_auth]
        if args.host == "127.0.0.1":
            servers += also_listen(http_srv.server_address[1], Handler)
        for srv in servers:
            srv.pages_dir = pages
            srv.http_port = http_srv.server_address[1]
            srv.https_port = https_srv.server_address[1]
            threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.2},
                             daemon=True).start()

        print(json.dumps({"http": http_srv.server_address[1], "https": https_srv.server_address[1],
                          "proxy": proxy.server_address[1], "proxy_auth": proxy_auth.server_address[1],
                          "pid": os.getpid()}), flush=True)
        if args.stay:
            while True:
                time.sleep(3600)
        else:
            while sys.stdin.buffer.read(4096):
                pass
    finally:
        STOP.set()


if __name__ == "__main__":
    main()

# Loopback HTTP server for the engine's browser tests: prints its port, then
# serves files from the given folder plus a few synthetic paths.
import base64
import http.server
import json
import sys

ROOT = sys.argv[1]
AUTH = "Basic " + base64.b64encode(b"user:pass").decode()


class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=ROOT, **kwargs)

    def log_message(self, *args):
        pass

    def reply(self, code, body, headers=()):
        data = body.encode()
        self.send_response(code)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path.startswith("/echo"):
            text = json.dumps({k.lower(): v for k, v in self.headers.items()})
            self.reply(200, "<html><body><pre id=h>" + text.replace("<", "&lt;") + "</pre></body></html>")
        elif self.path.startswith("/auth"):
            if self.headers.get("Authorization") == AUTH:
                self.reply(200, "<html><body>authorized</body></html>")
            else:
                self.reply(401, "<html><body>denied</body></html>", [("WWW-Authenticate", 'Basic realm="hvn"')])
        elif self.path.startswith("/status/"):
            code = int(self.path.split("/")[2])
            self.reply(code, "<html><body>status %d</body></html>" % code)
        else:
            super().do_GET()


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()

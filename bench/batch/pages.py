"""The pages of the batch benchmark and the loopback server that serves them."""
import os
import socket
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
LONG_PAGES = 36


def write_pages(folder):
    """The peers benchmark's small page and images, and a 36-page report:
    per page a heading band, text, a table and an image, then a page break.
    Returns page name -> (file, pages expected in the PDF)."""
    subprocess.run([sys.executable, os.path.join(HERE, '..', 'peers', 'make_pages.py'), folder], check=True)
    para = ('Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut labore '
            'et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco laboris nisi ut '
            'aliquip ex ea commodo consequat. Duis aute irure dolor in reprehenderit in voluptate velit esse. ')
    body = []
    for page in range(LONG_PAGES):
        rows = ''.join(f'<tr><td>{page + 1}.{r + 1}</td><td>Item {r * 7 + page}</td><td>{(r + 1) * 13.5:.2f}</td></tr>'
                       for r in range(10))
        body.append(f'<section><h2>Section {page + 1}</h2>' + f'<p>{para}</p>' * 4 +
                    f'<table><tr><th>No.</th><th>Item</th><th>Amount</th></tr>{rows}</table>'
                    f'<img src="img{page % 4}.png" width="320" height="200"></section>')
    with open(os.path.join(folder, 'doc36.html'), 'w') as f:
        f.write('<!doctype html><html><head><title>Report</title><style>'
                'body{font:16px/1.5 serif;margin:40px}h2{background:#246;color:#fff;padding:8px}'
                'table{border-collapse:collapse;width:100%;margin:12px 0}td,th{border:1px solid #888;padding:4px}'
                'section{break-after:page}section:last-child{break-after:auto}</style></head><body>' +
                ''.join(body) + '</body></html>')
    return {'small': ('small.html', 1), 'long': ('doc36.html', LONG_PAGES)}


def serve(folder):
    """A static server on a free loopback port; returns it and the base URL."""
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    server = subprocess.Popen([sys.executable, '-m', 'http.server', str(port), '--bind', '127.0.0.1'],
                              cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    base = f'http://127.0.0.1:{port}/'
    for _ in range(100):
        try:
            urllib.request.urlopen(base + 'small.html', timeout=1).read()
            return server, base
        except OSError:
            time.sleep(0.05)
    server.kill()
    raise RuntimeError('the page server did not start')

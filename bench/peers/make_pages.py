#!/usr/bin/env python3
"""Writes the benchmark pages into the folder given: a small static page, a
50-page text document with images, and a page of lazily loaded images."""
import base64, os, sys, zlib, struct

out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def png(w, h, rgb):
    raw = b''.join(b'\x00' + bytes(rgb) * w for _ in range(h))
    def chunk(t, d):
        return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b''))


for i, c in enumerate([(200, 60, 60), (60, 160, 90), (50, 90, 200), (220, 180, 40)]):
    with open(os.path.join(out, f'img{i}.png'), 'wb') as f:
        f.write(png(320, 200, c))

with open(os.path.join(out, 'small.html'), 'w') as f:
    f.write('<!doctype html><html><head><title>Small</title></head><body style="font-family:sans-serif">'
            '<h1>Invoice 1042</h1><p>Thank you for your order.</p><table border=1><tr><td>Item</td><td>9.99</td></tr>'
            '</table></body></html>')

para = ('Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut labore et '
        'dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco laboris. ') * 3
body = []
for page in range(50):
    body.append(f'<h2>Chapter {page + 1}</h2>')
    for k in range(4):
        body.append(f'<p>{para}</p>')
    body.append(f'<img src="img{page % 4}.png" width="320" height="200">')
    body.append('<div style="break-after:page"></div>')
with open(os.path.join(out, 'long.html'), 'w') as f:
    f.write('<!doctype html><html><head><title>Long</title></head><body style="font-family:serif">' +
            ''.join(body) + '</body></html>')

imgs = ''.join(f'<p>Image {i}</p><img loading="lazy" src="img{i % 4}.png?n={i}" width="320" height="200">'
               for i in range(60))
with open(os.path.join(out, 'lazy.html'), 'w') as f:
    f.write('<!doctype html><html><head><title>Lazy</title></head><body>' + imgs + '</body></html>')

var MARK = __MARKER__;
// At most n UTF-16 units, never half of a surrogate pair.
function cut(s, n) {
  if (s.length > n && s.charCodeAt(n - 1) >= 0xD800 && s.charCodeAt(n - 1) <= 0xDBFF) n--;
  return s.substring(0, n);
}
function desc(el, sel, id) {
  var text = cut((el.innerText || el.textContent || '').trim(), 500);
  var cls = typeof el.className === 'string' ? el.className : '';
  var d = { anchorId: id, selector: sel, id: el.id || '', text: text, tagName: el.tagName,
            outerHTML: cut(el.outerHTML || '', 2000), cssClassName: cls };
  if (el.tagName === 'A') {
    var raw = el.getAttribute('href') || '';
    d.originalHref = raw.charAt(0) === '#' ? raw : (el.href || raw);
  }
  return d;
}
var st = document.createElement('style');
st.textContent = '.pdf-bookmark{text-decoration:none!important;color:inherit!important;outline:none!important;}';
(document.head || document.documentElement).appendChild(st);
var taken = [], entries = [];
S.forEach(function (s) {
  var list;
  try { list = document.querySelectorAll(s); } catch (e) { return; }
  for (var i = 0; i < list.length; i++) {
    var el = list[i];
    if (taken.indexOf(el) >= 0 || el.hasAttribute('data-pdf-bookmark')) continue;
    var p = el.parentElement, marked = false;
    while (p) { if (p.hasAttribute && p.hasAttribute('data-pdf-bookmark')) { marked = true; break; } p = p.parentElement; }
    if (marked) continue;
    taken.push(el);
    entries.push(desc(el, s, 'hvn_' + (c++)));
  }
});
var internal = [];
taken.forEach(function (el, k) {
  var e = entries[k], href = MARK + '?id=' + e.anchorId;
  if (el.tagName === 'A') {
    if (e.originalHref && e.originalHref.charAt(0) === '#') internal.push(e.originalHref.substring(1));
    el.setAttribute('href', href);
    el.setAttribute('data-pdf-bookmark', e.anchorId);
  } else {
    var disp = getComputedStyle(el).display;
    if (disp === 'inline') disp = 'inline-block';
    var a = document.createElement('a');
    a.setAttribute('href', href);
    a.className = 'pdf-bookmark';
    a.style.display = disp;
    a.setAttribute('data-pdf-bookmark', e.anchorId);
    el.parentNode.insertBefore(a, el);
    a.appendChild(el);
  }
});
internal.forEach(function (id) {
  var t = document.getElementById(id);
  if (!t) return;
  var a = document.createElement('a');
  a.setAttribute('href', '#' + id);
  a.textContent = '\u00a0';
  a.setAttribute('data-pdf-bookmark', '');
  a.setAttribute('style', 'font-size:1px;line-height:1px;color:transparent;text-decoration:none;pointer-events:none;');
  t.insertBefore(a, t.firstChild);
});
function meta(n) { var m = document.querySelector('meta[name="' + n + '"]'); return m ? (m.getAttribute('content') || '') : ''; }
return JSON.stringify({
  docTitle: document.title || '', docDescription: meta('description'), docKeywords: meta('keywords'), docAuthor: meta('author'),
  contentHeight: Math.max(document.documentElement ? document.documentElement.scrollHeight : 0,
                          document.body ? document.body.scrollHeight : 0),
  elements: entries
});

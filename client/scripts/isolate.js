(() => {
  var el = document.querySelector(__SELECTOR__);
  if (!el) return null;
  var cs = getComputedStyle(el);
  var dir = cs.direction, align = cs.textAlign, disp = cs.display;
  function alpha(c) {
    var m = /rgba?\(([^)]*)\)/.exec(c || '');
    if (!m) return 0;
    var parts = m[1].split(/[\s,\/]+/).filter(function (x) { return x.length; });
    if (parts.length < 3) return 0;
    return parts.length > 3 ? parseFloat(parts[3]) : 1;
  }
  var backdrop = null;
  for (var p = el.parentElement; p; p = p.parentElement) {
    var bg = getComputedStyle(p).backgroundColor;
    if (alpha(bg) > 0) { backdrop = bg; break; }
  }
  var st = document.createElement('style');
  st.textContent = '[data-hvn-iso]::before,[data-hvn-iso]::after{display:none!important;content:none!important;}';
  (document.head || document.documentElement).appendChild(st);
  function set(n, k, v) { n.style.setProperty(k, v, 'important'); }
  function unpaint(n) { set(n, 'background', 'none'); set(n, 'box-shadow', 'none'); set(n, 'outline', 'none'); n.setAttribute('data-hvn-iso', ''); }
  var body = document.body, node = el;
  while (node && node !== body && node.parentElement) {
    var parent = node.parentElement;
    for (var s = parent.firstElementChild; s; s = s.nextElementSibling) if (s !== node) set(s, 'display', 'none');
    node = parent;
    if (node === body) break;
    [['display', 'block'], ['margin', '0'], ['padding', '0'], ['border', '0'], ['float', 'none'], ['position', 'static'],
     ['transform', 'none'], ['width', 'auto'], ['min-width', '0'], ['max-width', 'none'], ['height', 'auto'],
     ['min-height', '0'], ['max-height', 'none'], ['overflow', 'visible'], ['direction', 'ltr'], ['text-align', 'left']]
      .forEach(function (kv) { set(node, kv[0], kv[1]); });
    unpaint(node);
  }
  [body, document.documentElement].forEach(function (n) {
    if (!n) return;
    [['margin', '0'], ['padding', '0'], ['overflow', 'visible'], ['height', 'auto'], ['min-height', '0'],
     ['direction', 'ltr'], ['text-align', 'left']].forEach(function (kv) { set(n, kv[0], kv[1]); });
    unpaint(n);
  });
  var own = getComputedStyle(el);
  if (backdrop && alpha(own.backgroundColor) === 0 && (own.backgroundImage === 'none' || !own.backgroundImage)) set(el, 'background-color', backdrop);
  set(el, 'float', 'none'); set(el, 'position', 'static'); set(el, 'margin', '0'); set(el, 'transform', 'none');
  set(el, 'direction', dir); set(el, 'text-align', align);
  if (disp === 'inline') set(el, 'unicode-bidi', 'isolate');
  window.scrollTo(0, 0);
  var r = el.getBoundingClientRect();
  return { width: r.width, height: r.height };
})()

  // Shared by the content-end marker and the ink measurement. Positions are
  // document positions (viewport box + vertical scroll) unless noted.
  var D = document, W = window, root = D.documentElement, body = D.body;
  var sy = W.scrollY || W.pageYOffset || 0;
  var quirks = D.compatMode === "BackCompat";
  var styleCache = new Map();
  function cs(el) {
    var s = styleCache.get(el);
    if (!s) { s = W.getComputedStyle(el); styleCache.set(el, s); }
    return s;
  }
  function PX(v) {
    if (!v || String(v).indexOf("%") >= 0) return 0;
    var n = parseFloat(v);
    return isFinite(n) ? n : 0;
  }
  function isBlank(t) { return !/\S/.test(t || ""); }
  function CLIP(el) {
    var s = cs(el);
    return s.overflowY !== "visible" || s.overflowX !== "visible" ||
      /paint|strict|content/.test(s.contain || "") ||
      (!!s.clipPath && s.clipPath !== "none");
  }
  // CLIP with content that actually overflows the box.
  function clipsContent(el) { return CLIP(el) && el.scrollHeight > el.clientHeight + 1; }
  function docTop(el) { return el.getBoundingClientRect().top + sy; }
  function docBottom(el) { return el.getBoundingClientRect().bottom + sy; }
  function rangeRect(node, contents) {
    var r = D.createRange();
    if (contents) r.selectNodeContents(node); else r.selectNode(node);
    return r.getBoundingClientRect();
  }
  // Bottom of an element's contents; its box top when it has none.
  function contentsBottom(el) {
    var r = el.firstChild ? rangeRect(el, true) : null;
    if (!r || (r.width === 0 && r.height === 0 && r.top === 0 && r.bottom === 0)) return docTop(el);
    return r.bottom + sy;
  }
  // Components of an rgb()/rgba() value; null for anything else.
  function rgbParts(c) {
    var m = /rgba?\(([^)]*)\)/i.exec(c || "");
    if (!m) return null;
    return m[1].split(/[\s,\/]+/).filter(function (x) { return x !== ""; }).map(function (x) {
      var n = parseFloat(x);
      if (!isFinite(n)) n = 0;
      return /%$/.test(x) ? n / 100 : n;
    });
  }
  function alphaOf(c) {
    var p = rgbParts(c);
    if (p) return p.length >= 4 ? p[3] : 1;
    c = String(c || "").trim().toLowerCase();
    return (c === "" || c === "transparent" || c === "none") ? 0 : 1;
  }
  function hasBgImage(s) { return !!s.backgroundImage && s.backgroundImage !== "none"; }
  function inFlowBox(s) {
    return s.display !== "none" && s.position !== "absolute" && s.position !== "fixed" && s.cssFloat === "none";
  }

  // How the body's box and bottom margin end the flow; margins collapse
  // through a chain of last children unless padding, borders or a new
  // formatting context stop them.
  function bodyMetrics(anchorBottom) {
    var bs = cs(body), rs = cs(root);
    var m = {};
    m.bodyClips = (rs.overflowX !== "visible" || rs.overflowY !== "visible") && bs.overflowY !== "visible" &&
      body.scrollHeight > body.clientHeight + 1;
    m.bodyOuter = anchorBottom;
    if (m.bodyClips) return m;
    var r = body.getBoundingClientRect();
    var top = r.top + sy, bottom = r.bottom + sy;
    m.top = top;
    m.contentEnd = contentsBottom(body);
    m.mb = PX(bs.marginBottom);
    m.bodyPad = PX(bs.paddingBottom) + PX(bs.borderBottomWidth);
    var inner = 0, last = null, node = body;
    for (var level = 0; level < 32; level++) {
      if (node !== body) {
        var ns = cs(node);
        if (PX(ns.paddingBottom) > 0 || PX(ns.borderBottomWidth) > 0 || ns.overflowY !== "visible" ||
            ns.overflowX !== "visible" || ns.display !== "block") break;
      }
      var c = null;
      for (var k = node.lastChild; k; k = k.previousSibling) {
        if (k.nodeType === 3) { if (isBlank(k.data)) continue; break; }
        if (k.nodeType !== 1) continue;
        if (!inFlowBox(cs(k))) continue;
        c = k;
        break;
      }
      if (!c) break;
      var d = cs(c).display;
      if (d !== "block" && d !== "list-item" && d !== "flow-root" && d !== "table") break;
      inner = Math.max(inner, PX(cs(c).marginBottom));
      last = c;
      node = c;
    }
    m.inner = inner;
    m.chainLast = last;
    m.chainEnd = last ? docBottom(last) : m.contentEnd;
    m.noCollapse = m.bodyPad > 0;
    var innerIfNoCollapse = m.noCollapse ? inner : 0;
    m.coll = m.noCollapse ? m.mb : Math.max(m.mb, inner);
    m.stretched = quirks && Math.abs(W.innerHeight - bottom - m.coll) <= 1;
    m.natural = m.chainEnd - top + innerIfNoCollapse + m.bodyPad;
    var minH = PX(bs.minHeight);
    m.boxH = m.stretched ? Math.max(m.natural, minH) : r.height;
    m.bodyTall = top + m.boxH - m.contentEnd > 1;
    m.autoH = m.stretched || Math.abs(bottom - (m.chainEnd + m.bodyPad + innerIfNoCollapse)) <= 1;
    m.mhBinds = minH > m.natural + 1;
    m.bodyOuter = Math.max(top + m.boxH + (m.autoH && !m.mhBinds ? m.coll : m.mb), anchorBottom);
    return m;
  }
  function rootPad() { var s = cs(root); return PX(s.paddingBottom) + PX(s.borderBottomWidth); }
  // Splits a box-shadow list at top-level commas.
  function shadowList(v) {
    if (!v || v === "none") return [];
    var out = [], depth = 0, cur = "";
    for (var i = 0; i < v.length; i++) {
      var ch = v[i];
      if (ch === "(") depth++;
      else if (ch === ")") depth--;
      if (ch === "," && depth === 0) { out.push(cur); cur = ""; } else cur += ch;
    }
    out.push(cur);
    return out.map(function (s) {
      return (s.replace(/[a-z-]+\([^)]*\)/gi, "").match(/-?[\d.]+(?:e-?\d+)?px/gi) || []).map(parseFloat);
    });
  }
  function hasOutline(s) { return s.outlineStyle !== "none" && PX(s.outlineWidth) > 0; }

  // Ink measurement: the trailing space below the last painted content, the
  // canvas colour, and the boxes of fixed elements that repeat on every page.
  var SVG_NS = "http://www.w3.org/2000/svg";
  var REPLACED = /^(IMG|SVG|CANVAS|VIDEO|IFRAME|INPUT|TEXTAREA|SELECT|BUTTON|OBJECT|EMBED|HR|PROGRESS|METER)$/;
  var OPAQUE = 0.9;
  function isReplaced(el) { return REPLACED.test(String(el.tagName).toUpperCase()); }
  function bgOf(s) {
    var p = rgbParts(s.backgroundColor);
    var alpha = p ? (p.length >= 4 ? p[3] : 1) : 0;
    var rgb = p && p.length >= 3 ? [p[0] / 255, p[1] / 255, p[2] / 255] : [1, 1, 1];
    return { alpha: alpha, rgb: rgb, img: hasBgImage(s) };
  }
  function hiddenStyle(s) { return s.visibility === "hidden" || parseFloat(s.opacity) === 0; }
  function visibleBorder(s, side) {
    var st = s["border" + side + "Style"];
    return PX(s["border" + side + "Width"]) > 0 && st !== "none" && st !== "hidden";
  }
  function hasShadow(s) { return !!s.boxShadow && s.boxShadow !== "none"; }

  if (!body) {
    return { tailPx: 0, flowEnd: -1, paintEnd: -1, anchorBottom: -1, bodyClips: false, canvasPainted: false,
             canvasImage: false, canvasR: 1, canvasG: 1, canvasB: 1, fixedRects: [], quirks: quirks };
  }

  var canvas = bgOf(cs(root));
  if (canvas.alpha === 0 && !canvas.img) canvas = bgOf(cs(body));
  var canvasPainted = canvas.alpha > 0 || canvas.img;
  var canvasRgb = [1, 1, 1];
  if (canvasPainted) {
    canvasRgb = canvas.rgb.slice();
    if (canvas.alpha > 0 && canvas.alpha < 1)
      canvasRgb = canvasRgb.map(function (c) { return canvas.alpha * c + (1 - canvas.alpha); });
  }

  function paintsBottom(el) {
    var s = cs(el);
    if (visibleBorder(s, "Bottom") || hasBgImage(s) || hasShadow(s) || hasOutline(s)) return true;
    var bg = bgOf(s);
    if (bg.alpha <= 0) return false;
    for (var i = 0; i < 3; i++) if (Math.abs(bg.rgb[i] * 255 - canvasRgb[i] * 255) > 2) return true;
    return false;
  }
  function hasText(el) {
    for (var k = el.firstChild; k; k = k.nextSibling) if (k.nodeType === 3 && !isBlank(k.data)) return true;
    return false;
  }
  function textBottom(el) {
    var best = -1;
    for (var k = el.firstChild; k; k = k.nextSibling) {
      if (k.nodeType !== 3 || isBlank(k.data)) continue;
      var r = D.createRange();
      r.selectNodeContents(k);
      var rects = r.getClientRects();
      for (var i = 0; i < rects.length; i++)
        if (rects[i].width > 0 && rects[i].height > 0) best = Math.max(best, rects[i].bottom + sy);
    }
    return best;
  }
  function paintAround(s) {
    var most = 0;
    shadowList(s.boxShadow).forEach(function (v) {
      most = Math.max(most, Math.max(Math.abs(v[0] || 0), Math.abs(v[1] || 0)) + 1.5 * (v[2] || 0) + (v[3] || 0));
    });
    if (hasOutline(s)) most = Math.max(most, PX(s.outlineWidth) + PX(s.outlineOffset));
    return most;
  }
  function paintsSelf(s) {
    if (alphaOf(s.backgroundColor) >= OPAQUE || hasBgImage(s) || hasShadow(s) || hasOutline(s)) return true;
    var sides = ["Top", "Right", "Bottom", "Left"];
    for (var i = 0; i < 4; i++)
      if (visibleBorder(s, sides[i]) && alphaOf(s["border" + sides[i] + "Color"]) >= OPAQUE) return true;
    return false;
  }

  // Fixed elements print on every page; their boxes let the PDF side ignore
  // those repeats.
  var MAX_PART = 0.25 * W.innerWidth * W.innerHeight;
  var XS = root.clientWidth ? W.innerWidth / root.clientWidth : 1;
  var fixedRects = [];
  var all = body.getElementsByTagName("*");
  function movesFixed(s) {
    return (s.transform && s.transform !== "none") || (s.filter && s.filter !== "none") ||
      (s.perspective && s.perspective !== "none") ||
      (s.backdropFilter && s.backdropFilter !== "none") || /transform|perspective|filter/.test(s.willChange || "");
  }
  function collectFixed(el) {
    var box = el.getBoundingClientRect(), clipsBox = CLIP(el);
    (function visit(node, parentOpaque) {
      if (fixedRects.length >= 500) return;
      var s = cs(node);
      if (s.display === "none" || parseFloat(s.opacity) === 0) return;
      var opaque = parentOpaque;
      if (s.visibility !== "hidden") {
        var self = paintsSelf(s);
        opaque = parentOpaque || self;
        if (self || isReplaced(node) || (opaque && hasText(node))) {
          var r = node.getBoundingClientRect();
          if (r.width > 0 && r.height > 0) {
            var x0 = r.left, y0 = r.top, x1 = r.right, y1 = r.bottom;
            if (clipsBox && node !== el) {
              x0 = Math.max(x0, box.left); y0 = Math.max(y0, box.top);
              x1 = Math.min(x1, box.right); y1 = Math.min(y1, box.bottom);
            }
            if (x1 > x0 && y1 > y0 && (x1 - x0) * (y1 - y0) <= MAX_PART) {
              var grow = paintAround(s) + 2;
              fixedRects.push([x0 * XS - grow, y0 - grow, x1 * XS + grow, y1 + grow]);
            }
          }
        }
      }
      if (node.namespaceURI === SVG_NS || String(node.tagName).toLowerCase() === "svg") return;
      for (var c = node.firstElementChild; c && fixedRects.length < 500; c = c.nextElementSibling) visit(c, opaque);
    })(el, false);
  }
  for (var i = 0; i < all.length && fixedRects.length < 500; i++) {
    var el = all[i], st = cs(el);
    if (st.position !== "fixed" || st.display === "none" || hiddenStyle(st)) continue;
    var moved = false;
    for (var a = el.parentElement; a && a !== root; a = a.parentElement) {
      var as = cs(a);
      if (as.display === "none" || movesFixed(as)) { moved = true; break; }
    }
    if (!moved) collectFixed(el);
  }

  // Flow scan: where the flow ends and where its last paint is.
  var anchorBottom = -1, paintEnd = -1, flowCand = -1;
  for (var j = 0; j < all.length; j++) {
    var e = all[j], es = cs(e);
    if (es.display === "none" || es.position === "fixed") continue;
    var r = e.getBoundingClientRect();
    if (r.height === 0 && !CLIP(e)) continue;
    var db = r.bottom + sy, b0 = db, gone = false;
    if (!CLIP(e) && e.clientHeight > 0 && e.scrollHeight > e.clientHeight + 1)
      b0 = Math.max(b0, r.top + sy + e.clientTop + e.scrollHeight);
    var hidden = hiddenStyle(es);
    for (var p = e.parentElement; p && p !== body; p = p.parentElement) {
      var ps = cs(p);
      if (ps.position === "fixed" || ps.display === "none") { gone = true; break; }
      if (CLIP(p)) b0 = Math.min(b0, docBottom(p));
    }
    if (gone) continue;
    anchorBottom = Math.max(anchorBottom, b0);
    if (!hidden && (paintsBottom(e) || isReplaced(e) || e.shadowRoot || e.namespaceURI === SVG_NS))
      paintEnd = Math.max(paintEnd, Math.min(b0, db));
    if (e.parentElement === body && es.position !== "absolute" && es.cssFloat === "none" &&
        /^(block|list-item|flow-root|table|flex|grid)$/.test(es.display))
      flowCand = Math.max(flowCand, db + (r.height > 0 ? PX(es.marginBottom) : 0));
    if (!hidden && hasText(e)) {
      var tb = textBottom(e);
      if (tb > 0) paintEnd = Math.max(paintEnd, Math.min(b0, tb));
    }
    if (!hidden && b0 > db + 1) paintEnd = Math.max(paintEnd, b0);
  }

  for (var k = body.lastChild; k; k = k.previousSibling) {
    if (k.nodeType === 3) {
      if (isBlank(k.data)) continue;
      anchorBottom = Math.max(anchorBottom, rangeRect(k, false).bottom + sy);
      paintEnd = Math.max(paintEnd, textBottom(body));
      break;
    }
    if (k.nodeType !== 1) continue;
    var ks = cs(k);
    if (String(k.tagName).toUpperCase() === "BR" || ks.display === "none" || ks.position === "fixed" ||
        ks.position === "absolute") continue;
    break;
  }

  var m = bodyMetrics(anchorBottom);
  var bodyOuter = m.bodyOuter;
  if (!m.bodyClips) {
    if (visibleBorder(cs(body), "Bottom")) paintEnd = Math.max(paintEnd, m.top + m.boxH);
    var n = m.chainLast;
    if (n && n !== body) {
      var nr = n.getBoundingClientRect();
      bodyOuter = Math.max(bodyOuter, nr.bottom + sy + (nr.height > 0 ? PX(cs(n).marginBottom) : 0));
    }
    bodyOuter = Math.max(bodyOuter, flowCand);
  }
  var flowEnd = m.bodyClips ? docBottom(body) : bodyOuter + rootPad();
  if (paintEnd < 0) paintEnd = flowEnd;
  return {
    tailPx: Math.max(0, flowEnd - paintEnd), flowEnd: flowEnd, paintEnd: paintEnd, anchorBottom: anchorBottom,
    bodyClips: m.bodyClips, canvasPainted: canvasPainted, canvasImage: canvas.img, canvasR: canvasRgb[0],
    canvasG: canvasRgb[1], canvasB: canvasRgb[2], fixedRects: fixedRects, quirks: quirks
  };

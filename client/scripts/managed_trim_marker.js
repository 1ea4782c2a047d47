  // Content-end marker: a 1x1 link at the end of the flow; its target carries
  // the trailing space that still belongs to the content.
  var MARKER = __MARKER_URL__, PT_PER_PX = __PT_PER_PX__;
  var marker = D.createElement("a");
  marker.href = MARKER;
  marker.setAttribute("data-pdf-bookmark", "");
  marker.setAttribute("aria-hidden", "true");
  marker.innerHTML = "&nbsp;";
  function imp(el, name, value) { el.style.setProperty(name, value, "important"); }
  [["display", "block"], ["clear", "both"], ["position", "static"], ["float", "none"], ["width", "1px"],
   ["height", "1px"], ["margin", "-1px 0 0 0"], ["padding", "0"], ["border", "0"], ["font-size", "1px"],
   ["line-height", "1px"], ["overflow", "hidden"], ["color", "transparent"], ["background", "transparent"],
   ["text-decoration", "none"], ["visibility", "visible"], ["opacity", "1"]].forEach(function (p) {
    imp(marker, p[0], p[1]);
  });

  var HTML_NS = "http://www.w3.org/1999/xhtml";
  var NO_HOST_TAGS = /^(IMG|INPUT|TEXTAREA|SELECT|BUTTON|IFRAME|CANVAS|VIDEO|AUDIO|OBJECT|EMBED|BR|HR|WBR|SCRIPT|STYLE|TEMPLATE|NOSCRIPT|UL|OL|MENU|DL)$/;
  var NO_HOST_DISPLAY = /^(table|table-row|table-row-group|table-header-group|table-footer-group|table-column|table-column-group|inline|contents|ruby|ruby-text)$/;
  var INLINE_DISPLAY = /^(inline|inline-block|inline-flex|inline-grid|inline-table|contents|ruby|ruby-text)$/;
  function isLink(el) { return el.nodeType === 1 && String(el.tagName).toUpperCase() === "A"; }
  function paints(el) {
    var s = cs(el);
    return alphaOf(s.backgroundColor) > 0 || hasBgImage(s) || PX(s.borderBottomWidth) > 0;
  }
  function canHost(el) {
    var s = cs(el);
    if (el.namespaceURI !== HTML_NS || el.shadowRoot || s.visibility === "hidden") return false;
    if (s.display.indexOf("inline-") === 0) return false;
    if (NO_HOST_TAGS.test(String(el.tagName).toUpperCase())) return false;
    for (var a = el; a; a = a.parentElement) if (isLink(a)) return false;
    if (NO_HOST_DISPLAY.test(s.display)) return false;
    if (s.display === "flex" && s.flexDirection.indexOf("row") === 0) return false;
    return true;
  }
  function lastVisibleNode(el) {
    for (var k = el.lastChild; k; k = k.previousSibling) {
      if (k.nodeType === 3) { if (!isBlank(k.data)) return k; continue; }
      if (k.nodeType !== 1) continue;
      var s = cs(k);
      if (s.display === "none" || s.position === "fixed" || s.position === "absolute") continue;
      if (k.getBoundingClientRect().height === 0 && !CLIP(k)) continue;
      return k;
    }
    return null;
  }
  function spacingBelow(parent, child) {
    var ps = cs(parent);
    return PX(ps.paddingBottom) + PX(ps.borderBottomWidth) + PX(cs(child).marginBottom);
  }

  var anchorBottom = -1, anchor = null, anchorClips = false, paintedTail = false;
  var quirksBody = false, shortBody = false, insideBody = false, bodyClips = false, bodyTail = false;
  var branch = null, host = null, hostEl = root, m = { bodyOuter: -1 };

  if (body) {
    var bs0 = cs(body);
    quirksBody = quirks && bs0.display !== "flex" && bs0.display !== "grid";
    shortBody = body.getBoundingClientRect().height + 1 < body.scrollHeight;
    insideBody = quirksBody || shortBody;

    // The element whose (clipped) bottom is lowest; the deeper one wins ties.
    var all = body.getElementsByTagName("*");
    for (var i = 0; i < all.length; i++) {
      var el = all[i], st = cs(el);
      if (st.display === "none" || st.position === "fixed") continue;
      var r = el.getBoundingClientRect();
      if (r.height === 0 && !CLIP(el)) continue;
      var b0 = r.bottom + sy, cand = el, clips = clipsContent(el), gone = false;
      if (!CLIP(el) && el.clientHeight > 0 && el.scrollHeight > el.clientHeight + 1)
        b0 = Math.max(b0, r.top + sy + el.clientTop + el.scrollHeight);
      for (var a = el.parentElement; a && a !== body; a = a.parentElement) {
        var as = cs(a);
        if (as.position === "fixed" || as.display === "none") { gone = true; break; }
        if (CLIP(a)) {
          var ab = docBottom(a);
          if (ab < b0) { b0 = ab; cand = a; clips = true; }
        }
      }
      if (gone) continue;
      if (b0 > anchorBottom + 0.01 ||
          (Math.abs(b0 - anchorBottom) <= 0.01 && anchor && anchor !== cand && anchor.contains(cand))) {
        anchor = cand; anchorBottom = b0; anchorClips = clips;
      }
    }

    var lastBody = lastVisibleNode(body);
    if (lastBody && lastBody.nodeType === 3) {
      var tb = rangeRect(lastBody, false).bottom + sy;
      if (tb > anchorBottom + 0.01) { anchor = body; anchorBottom = tb; anchorClips = false; }
    }

    // Descend into the anchor's last child while it ends where the anchor does.
    for (var round = 0; round < 64 && anchor && !anchorClips; round++) {
      if (paints(anchor)) break;
      var last = lastVisibleNode(anchor);
      if (!last || last.nodeType !== 1) break;
      if (docBottom(anchor) > docBottom(last) + spacingBelow(anchor, last) + 1) break;
      anchor = last;
      if (clipsContent(last)) { anchorClips = true; break; }
    }

    // A painted box taller than its contents: the paint is content too.
    if (anchor && !anchorClips) {
      var abox = docBottom(anchor);
      if (abox > contentsBottom(anchor) + 1) {
        var painted = null;
        for (var e = anchor; e; e = e.parentElement) {
          if (Math.abs(docBottom(e) - abox) > 1) break;
          if (paints(e)) painted = e;
          if (e === body) break;
        }
        if (painted) { anchor = painted; anchorClips = true; paintedTail = true; }
      }
    }

    if (anchor) {
      var link = null;
      for (var l = anchor; l && l !== body; l = l.parentElement) if (isLink(l)) link = l;
      if (link) anchor = link;
      while (anchor && anchor !== body && INLINE_DISPLAY.test(cs(anchor).display)) anchor = anchor.parentElement;
      if (anchor === body) anchor = null;
    }

    if (anchor) {
      host = anchor;
      if (anchorClips || !canHost(host)) { branch = host; host = host.parentElement; }
      while (host && host !== root && !canHost(host)) { branch = host; host = host.parentElement; }
      if (host === root) host = null;
    }
    hostEl = host || (insideBody ? body : root);

    m = bodyMetrics(anchorBottom);
    bodyClips = m.bodyClips;
    bodyTail = !bodyClips && m.bodyTall && paints(body);
    if (bodyTail && quirks) { imp(body, "box-sizing", "border-box"); imp(body, "height", m.boxH + "px"); }
  }

  if (hostEl !== root) {
    var hd = cs(hostEl).display;
    if (/^(inline-)?(flex|grid)$/.test(hd)) { imp(marker, "flex-basis", "100%"); imp(marker, "grid-column", "1 / -1"); }
  }
  imp(marker, "flex-shrink", "0");
  imp(marker, "min-height", "1px");

  if (branch && branch.parentElement === host && lastVisibleNode(host) !== branch) branch = null;
  var branchUnderHost = !!branch && !!host && branch.parentElement === host;
  if (bodyClips) {
    imp(marker, "position", "sticky");
    imp(marker, "bottom", "0");
    body.appendChild(marker);
  } else if (bodyTail) {
    imp(marker, "margin-top", -(m.mb + 1) + "px");
    root.appendChild(marker);
  } else if (branchUnderHost) {
    imp(marker, "margin-top", -(PX(cs(branch).marginBottom) + 1) + "px");
    host.insertBefore(marker, branch.nextSibling);
  } else {
    hostEl.appendChild(marker);
  }
  if (!anchor && !bodyClips && !bodyTail) imp(marker, "margin-top", "0");

  function shadowBelow(el) {
    var s = cs(el), most = 0;
    shadowList(s.boxShadow).forEach(function (v) { most = Math.max(most, (v[1] || 0) + (v[2] || 0) + (v[3] || 0)); });
    if (hasOutline(s)) most = Math.max(most, PX(s.outlineWidth) + PX(s.outlineOffset));
    return most;
  }
  function mbBelow(el) {
    var p = el.parentElement;
    if (p && p !== body && p !== root) {
      var ps = cs(p);
      if (docBottom(p) < docBottom(el) - 0.5) return 0;
      if ((ps.columnCount && ps.columnCount !== "auto") || (ps.columnWidth && ps.columnWidth !== "auto")) return 0;
    }
    return PX(cs(el).marginBottom);
  }

  var mr = marker.getBoundingClientRect();
  var markerTop = mr.top + sy, markerBottom = mr.bottom + sy, trailPx = 0;
  var ref = bodyTail ? body : (branchUnderHost ? branch : (hostEl !== root ? hostEl : null));
  if (ref && !bodyClips) {
    var end;
    if (ref === body) {
      end = m.bodyOuter + rootPad();
    } else {
      end = docBottom(ref) + mbBelow(ref) + shadowBelow(ref);
      for (var up = ref.parentElement; up && up !== root; up = up.parentElement) {
        if (up === body) { end = Math.max(end, m.bodyOuter + rootPad()); break; }
        if (CLIP(up)) { end = Math.min(end, docBottom(up)); break; }
        end = Math.max(end, docBottom(up) + mbBelow(up) + shadowBelow(up));
      }
    }
    trailPx = Math.max(0, end - markerBottom);
  }
  if (body && m.bodyTall && !bodyTail && !bodyClips) trailPx = Math.max(trailPx, m.bodyOuter - markerBottom);

  marker.href = MARKER + "?trail=" + (trailPx * PT_PER_PX).toFixed(2);
  var anchorText = null;
  if (anchor) anchorText = String(anchor.tagName) + (anchor.id ? "#" + anchor.id : "") + (anchorClips ? "(clips)" : "");
  return {
    flowEnd: markerTop + 1, anchorBottom: anchorBottom, quirksBody: quirksBody, bodyClips: bodyClips,
    shortBody: shortBody, insideBody: insideBody, paintedTail: paintedTail, trailPx: trailPx, bodyTail: bodyTail,
    anchor: anchorText, markerBottom: markerBottom
  };

(function () {
  // The sheet an unqualified @page rule asks for, in points: "[width, height]", or empty.
  var named = { a5: [419.53, 595.28], a4: [595.28, 841.89], a3: [841.89, 1190.55], b5: [498.9, 708.66],
                b4: [708.66, 1000.63], letter: [612, 792], legal: [612, 1008], ledger: [792, 1224] };
  var unit = { pt: 1, px: 0.75, 'in': 72, cm: 72 / 2.54, mm: 72 / 25.4, pc: 12, q: 18 / 25.4 };
  var size = '';
  function scan(rules) {
    for (var i = 0; i < rules.length; i++) {
      var r = rules[i];
      if (r.type === 6) { if (!r.selectorText && r.style.getPropertyValue('size')) size = r.style.getPropertyValue('size'); }
      else if (r.type === 4 && !window.matchMedia(r.conditionText || r.media.mediaText).matches && !/print/.test(r.media.mediaText)) continue;
      else if (r.cssRules) scan(r.cssRules);
    }
  }
  for (var s = 0; s < document.styleSheets.length; s++) { try { scan(document.styleSheets[s].cssRules); } catch (e) {} }
  var words = size.trim().toLowerCase().split(/\s+/), dims = [], turn = '';
  for (var w = 0; w < words.length; w++) {
    var m = /^([0-9.]+)(pt|px|in|cm|mm|pc|q)$/.exec(words[w]);
    if (named[words[w]]) dims = named[words[w]].slice();
    else if (m) dims.push(parseFloat(m[1]) * unit[m[2]]);
    else if (words[w] === 'landscape' || words[w] === 'portrait') turn = words[w];
  }
  if (dims.length === 1) dims.push(dims[0]);
  if (dims.length !== 2 || !(dims[0] > 0) || !(dims[1] > 0)) return '';
  if ((turn === 'landscape') !== (dims[0] > dims[1]) && turn) dims.reverse();
  return JSON.stringify(dims);
})()

(function () {
  var list = document.querySelectorAll(__SELECTORS__);
  for (var i = 0; i < list.length; i++) {
    var el = list[i];
    var t = (el.innerText || '').replace(/\u00a0/g, '').trim();
    if (!t) continue;
    try { if (getComputedStyle(el).position === 'static') el.style.position = 'relative'; } catch (e) {}
    var a = document.createElement('a');
    a.setAttribute('data-pdf-bookmark', '');
    a.setAttribute('style', 'position:absolute;top:0;left:0;width:1px;height:1px;overflow:hidden;font-size:1px;line-height:1px;color:#FFFFFF00;text-decoration:none;');
    a.setAttribute('href', __MARKER__ + '?id=' + i + '&text=' + encodeURIComponent(t));
    a.textContent = '\u00a0';
    el.appendChild(a);
  }
})();

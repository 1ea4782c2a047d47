(() => {
  var el = document.querySelector(__SELECTOR__);
  if (!el) return null;
  var r = el.getBoundingClientRect();
  return { x: r.left + window.scrollX, y: r.top + window.scrollY, width: r.width, height: r.height };
})()

(async function (delay) {
  var els = Array.prototype.slice.call(document.querySelectorAll('img[loading=lazy i],iframe[loading=lazy i]'));
  els.forEach(function (el) { try { el.loading = 'eager'; } catch (e) {} });
  var imgs = els.filter(function (el) { return el.tagName === 'IMG'; });
  var pending = imgs.filter(function (img) { return !img.complete; }).map(function (img) {
    return new Promise(function (resolve) {
      img.addEventListener('load', resolve, { once: true });
      img.addEventListener('error', resolve, { once: true });
    });
  });
  await Promise.race([Promise.all(pending), new Promise(function (r) { setTimeout(r, 2000); })]);
  await new Promise(function (r) { setTimeout(r, delay); });
  return imgs.length;
})

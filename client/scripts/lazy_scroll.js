(async function (delay) {
  var step = Math.max(window.innerHeight || 0, 800);
  function height() {
    return Math.max(document.documentElement ? document.documentElement.scrollHeight : 0,
                    document.body ? document.body.scrollHeight : 0);
  }
  function wait() { return new Promise(function (r) { setTimeout(r, delay); }); }
  function frame(ms) {
    return new Promise(function (resolve) {
      var done = false;
      requestAnimationFrame(function () { if (!done) { done = true; resolve(true); } });
      setTimeout(function () { if (!done) { done = true; resolve(false); } }, ms);
    });
  }
  var t0 = performance.now();
  var flowing = await frame(3000);
  if (flowing) flowing = await frame(3000);
  var waited = Math.round(performance.now() - t0);
  var CAP = 500, y = 0, i = 0;
  while (y + step <= height() && i < CAP) {
    window.scrollBy(0, step);
    await wait();
    y += step;
    i++;
  }
  if (i < CAP && window.scrollY + window.innerHeight < height()) {
    window.scrollTo(0, height());
    await wait();
  }
  await frame(1000);
  window.scrollTo(0, 0);
  await wait();
  return (flowing ? 'frames after ' : 'NO frames after ') + waited + ' ms, ' + i + ' steps';
})

// Resolves true once test() holds; a promise counts by its value, a test
// that throws or rejects counts as not yet. check(), run once before any
// look, ends the wait at once with what it throws (an invalid selector).
// One look at a time, paced by the page: the next look waits for the next
// animation frame, or 100 ms when frames do not come, and whichever comes
// first cancels the other, so callbacks never pile up.
(function (test, check) {
  if (check) check();
  return new Promise(function (resolve) {
    function again() {
      var frame, timer;
      function go() {
        cancelAnimationFrame(frame);
        clearTimeout(timer);
        look();
      }
      frame = requestAnimationFrame(go);
      timer = setTimeout(go, 100);
    }
    function look() {
      Promise.resolve().then(test).then(function (v) { if (v) resolve(true); else again(); }, again);
    }
    look();
  });
})

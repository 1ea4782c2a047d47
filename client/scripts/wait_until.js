// Resolves true once test() holds; a promise counts by its value, a test
// that throws counts as not yet, an invalid selector ends the wait. The page
// sets the pace: one look per animation frame, or per 100 ms when frames do
// not come.
(function (test) {
  return new Promise(function (resolve, reject) {
    var scheduled = false;
    function again() {
      if (scheduled) return;
      scheduled = true;
      var go = function () { if (scheduled) { scheduled = false; look(); } };
      requestAnimationFrame(go);
      setTimeout(go, 100);
    }
    function look() {
      Promise.resolve().then(test).then(function (v) { if (v) resolve(true); else again(); },
        function (e) { if (e && e.name === 'SyntaxError') reject(e); else again(); });
    }
    look();
  });
})

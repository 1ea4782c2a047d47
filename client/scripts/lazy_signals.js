(function () {
  var L = window.__hvnLazy;
  var scroll = -1;
  if (L) {
    scroll = L.scroll;
    if (window.onscroll || document.onscroll || (document.documentElement && document.documentElement.onscroll)) scroll++;
  }
  return {
    io: L ? L.io : -1,
    scroll: scroll,
    inert: L ? L.inert : -1,
    lazyAttr: document.querySelectorAll('img[loading=lazy i],iframe[loading=lazy i]').length,
    dataSrc: document.querySelectorAll('img[data-src],img[data-srcset],img[data-lazy],img[data-lazy-src],img[data-original],img[data-echo],source[data-srcset],[data-bg],[data-background],[data-background-image]').length,
    frames: document.querySelectorAll('iframe,frame').length,
    scripts: document.scripts.length
  };
})()

(function () {
  function meta(n) { var m = document.querySelector('meta[name="' + n + '"]'); return m ? (m.getAttribute('content') || '') : ''; }
  return JSON.stringify({ docTitle: document.title || '', docDescription: meta('description'), docKeywords: meta('keywords'), docAuthor: meta('author') });
})()

  // A shorter first page: its top margin grows by the first-page offset.
  (function () {
    var st = document.createElement("style");
    st.textContent = "@page :first { margin-top: __TOP__pt !important; margin-bottom: __BOTTOM__pt !important; }";
    (document.head || document.documentElement).appendChild(st);
  })();

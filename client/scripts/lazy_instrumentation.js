try {
  (function () {
    var lazy = { io: 0, scroll: 0, inert: 0 };
    window.__hvnLazy = lazy;
    function isRoot(t) {
      return t === window || t === document || t === document.documentElement || t === document.body;
    }
    if (window.IntersectionObserver && IntersectionObserver.prototype.observe) {
      var observe = IntersectionObserver.prototype.observe;
      IntersectionObserver.prototype.observe = function () {
        lazy.io++;
        return observe.apply(this, arguments);
      };
    }
    var add = EventTarget.prototype.addEventListener;
    EventTarget.prototype.addEventListener = function (type) {
      try {
        if (type === 'scroll' || type === 'scrollend') {
          if (isRoot(this)) lazy.scroll++; else lazy.inert++;
        } else if (type === 'wheel' || type === 'mousewheel' || type === 'touchmove') {
          if (!isRoot(this)) lazy.inert++;
        }
      } catch (e) {}
      return add.apply(this, arguments);
    };
    [window, Document.prototype, HTMLElement.prototype, HTMLBodyElement.prototype].forEach(function (target) {
      var desc = Object.getOwnPropertyDescriptor(target, 'onscroll');
      if (!desc || !desc.set) return;
      var set = desc.set;
      Object.defineProperty(target, 'onscroll', {
        configurable: true,
        enumerable: desc.enumerable,
        get: desc.get,
        set: function (v) {
          try {
            if (v) { if (isRoot(this)) lazy.scroll++; else lazy.inert++; }
          } catch (e) {}
          return set.call(this, v);
        }
      });
    });
  })();
} catch (e) {}

window.startConversionWithHalvern = false;
window.halvern = {
  start: function () { window.startConversionWithHalvern = true; },
  version: 'Halvern v26.4.0'
};

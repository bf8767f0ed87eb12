// The theme runtime: ksApplyTheme and ksTheme for the page's Theme button and
// for the embedding host, the "ks-theme" message, and one "ks-theme-request"
// to the parent frame when the page is framed.
(function () {
  var root = document.documentElement;

  window.ksTheme = function () {
    var t = root.getAttribute('data-theme');
    return t === 'light' || t === 'dark' ? t : 'dark';
  };

  window.ksApplyTheme = function (t) {
    if (t !== 'light' && t !== 'dark') return;
    if (root.getAttribute('data-theme') === t) return;
    root.setAttribute('data-theme', t);
    try {
      localStorage.setItem('bot_theme', t);
    } catch (e) {}
    try {
      window.dispatchEvent(new CustomEvent('bot-theme', { detail: t }));
    } catch (e) {}
  };

  // The host frame may switch the theme at any time; its origin is not checked.
  window.addEventListener('message', function (e) {
    var d = e.data;
    if (d && typeof d === 'object' && d.type === 'ks-theme') window.ksApplyTheme(d.theme);
  });

  try {
    if (window.parent && window.parent !== window) window.parent.postMessage({ type: 'ks-theme-request' }, '*');
  } catch (e) {}
})();

// Picks the theme before the first paint: the page URL's "theme" parameter,
// else the remembered choice, else the system preference, else dark. Also
// switches on embed mode. Each browser access is guarded by itself, so a
// refused one (blocked storage, say) only skips its own step.
(function () {
  var root = document.documentElement, query = '', theme = '', m;
  try {
    query = String(location.search || '');
  } catch (e) {}
  m = /[?&]theme=(light|dark)/.exec(query);
  if (m) theme = m[1];
  if (!theme) {
    try {
      var stored = localStorage.getItem('bot_theme');
      if (stored === 'light' || stored === 'dark') theme = stored;
    } catch (e) {}
  }
  if (!theme) {
    try {
      theme = window.matchMedia && window.matchMedia('(prefers-color-scheme: light)').matches ? 'light' : 'dark';
    } catch (e) {
      theme = 'dark';
    }
  }
  root.setAttribute('data-theme', theme);
  try {
    if (/[?&]embed=(1|true)(&|$)/.test(query)) root.classList.add('embedded');
  } catch (e) {}
  try {
    localStorage.setItem('bot_theme', theme);
  } catch (e) {}
})();

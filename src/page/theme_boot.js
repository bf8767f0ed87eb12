// Picks the theme before the first paint: the page URL's "theme" parameter,
// else the remembered choice, else the system preference, else dark. Also
// switches on embed mode. Each browser access is guarded by itself, so a
// refused one (blocked storage, say) only skips its own step. The address
// is read as the page script reads it: the text after the first '?' split
// at every '&' and every further '?' (the bot's proxied address puts the
// plugin's parameters after a second '?'), the first parameter of a name
// counting.
(function () {
  var root = document.documentElement, query = '', theme = '', m;
  try {
    query = String(location.search || '');
  } catch (e) {}
  function decode(text) {
    text = text.replace(/\+/g, ' ');
    try {
      return decodeURIComponent(text);
    } catch (e) {
      return text;
    }
  }
  function param(name) {
    var parts = query.split(/[?&]/);
    for (var i = 1; i < parts.length; i++) {
      var eq = parts[i].indexOf('=');
      if (parts[i] && decode(eq < 0 ? parts[i] : parts[i].slice(0, eq)) === name)
        return eq < 0 ? '' : decode(parts[i].slice(eq + 1));
    }
    return null;
  }
  m = /^(light|dark)/.exec(param('theme') || '');
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
    m = param('embed');
    if (m === '1' || m === 'true') root.classList.add('embedded');
  } catch (e) {}
  try {
    localStorage.setItem('bot_theme', theme);
  } catch (e) {}
})();

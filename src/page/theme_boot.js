// Picks the theme before the first paint: the page address's "theme"
// parameter, else the remembered choice (the Theme button's or the host
// frame's), else the system preference, else dark. Also switches on embed
// mode. The address is read by parseAddress, which the build puts before
// this text in the same function. The theme of an address is used for this
// opening only, never remembered: a link's theme must not override the
// system's later. Each browser access is guarded by itself, so a refused
// one (blocked storage, say) only skips its own step.
var root = document.documentElement, address = parseAddress(''), theme = '';
try {
  address = parseAddress(location.search);
} catch (e) {}
theme = themeOf(address);
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
if (embedOf(address)) root.classList.add('embedded');

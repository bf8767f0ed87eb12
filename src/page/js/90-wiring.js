// The controls' events, and the start: the view from the address, then the
// first load.

function toggleTheme() {
  if (typeof window.ksApplyTheme !== 'function') return;
  var now = typeof window.ksTheme === 'function' ? window.ksTheme() : '';
  window.ksApplyTheme(now === 'dark' ? 'light' : 'dark');
}

function typingIn(el) {
  return el && (el.tagName === 'INPUT' || el.tagName === 'SELECT' || el.tagName === 'TEXTAREA' || el.isContentEditable);
}

function rowOf(e) {
  return e.target.closest && e.target.closest('tr.row');
}

$('drawerClose').addEventListener('click', closeDetail);
$('scrim').addEventListener('click', closeDetail);
document.addEventListener('keydown', function (e) {
  if (e.key === 'Escape') {
    closeDetail();
  } else if (e.key === 'Tab' && drawerOpen()) {
    trapFocus(e);
  } else if (e.key === '/' && !drawerOpen() && !typingIn(e.target) && !e.ctrlKey && !e.metaKey && !e.altKey) {
    e.preventDefault();
    $('search').focus();
  }
});
$('rescan').addEventListener('click', function () {
  load();
});
$('search').addEventListener('input', viewChanged);
$('stateFilter').addEventListener('change', viewChanged);
$('sortOrder').addEventListener('change', function () {
  setSort(this.value);
});
$('clearFilters').addEventListener('click', clearFilters);
$('themeBtn').addEventListener('click', toggleTheme);
$('densityBtn').addEventListener('click', toggleDensity);
$('notices').addEventListener('click', function (e) {
  var button = e.target.closest && e.target.closest('button[data-state]');
  if (button) showState(button.getAttribute('data-state'));
});
document.querySelectorAll('.chip').forEach(function (chip) {
  chip.addEventListener('click', function () {
    setChip(this.getAttribute('data-filter'));
  });
});
document.querySelectorAll('th[data-sort] button').forEach(function (button) {
  button.addEventListener('click', function () {
    var key = this.parentNode.getAttribute('data-sort');
    setSort(SORT === key ? '-' + key : key);
  });
});
$('rows').addEventListener('click', function (e) {
  var tr = rowOf(e);
  if (tr) openDetail(tr.getAttribute('data-p'), tr.getAttribute('data-q'));
});
// The row's button opens the drawer by its click; the arrows move along
// the rows.
$('rows').addEventListener('keydown', function (e) {
  var tr = rowOf(e);
  if (!tr || !e.target.classList.contains('name')) return;
  if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
    e.preventDefault();
    stepRow(tr, e.key === 'ArrowDown' ? 1 : -1);
  }
});
window.addEventListener('scroll', scheduleWindow, { passive: true });
window.addEventListener('resize', scheduleWindow);
document.addEventListener('visibilitychange', refreshIfStale);
window.addEventListener('focus', refreshIfStale);
$('pwAgain').addEventListener('submit', retryWithPassword);
setInterval(tick, 1000);

movePasswordOutOfAddress();
applyDensity(storedValue(DENSITY_KEY) === 'compact');
restoreView();
markChips();
markSort();
// The rows kept from the last opening at once, then the new listing.
showKept();
load();

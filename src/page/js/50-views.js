// The view: the listing shown, the filters and sort the user chose, and the
// view kept in the page's address.

// The repositories of the listing shown, and its roots.
var REPOS = [];
var ROOTS = [];
// Names that stand more than once in REPOS: such rows show their path.
var AMBIGUOUS = {};
// REPOS filtered and sorted: what the table shows, in order.
var VIEW = [];
// The chip filter ('all' or a chip's data-filter) and the sort ('' keeps
// the server's order; a leading '-' reverses a key).
var CHIP = 'all';
var SORT = '';
// The chip marked as selected: none at start, although the filter is "all".
var CHIP_MARK = '';
// The path of the repository open in the drawer.
var SELECTED = '';

// The filters in force, as the model's functions take them.
function currentView() {
  var state = $('stateFilter'), search = $('search');
  return { chip: CHIP, state: state ? state.value : '', search: search ? search.value : '', ambiguous: AMBIGUOUS };
}

function filtersActive() {
  var v = currentView();
  return v.chip !== 'all' || !!v.state || !!v.search;
}

// Keeps the view in the page's address, so a reload or a shared link shows
// the same view. Every other parameter stays as it is.
function saveView() {
  try {
    var view = { chip: CHIP === 'all' ? '' : CHIP, state: $('stateFilter').value, q: $('search').value, sort: SORT };
    var search = editAddress(parseAddress(location.search), view);
    history.replaceState(history.state, '', location.pathname + search + location.hash);
  } catch (e) {}
}

function restoreView() {
  var view = viewOf(ADDRESS, STATE_FILTERS, SORTS);
  if (view.chip) CHIP = CHIP_MARK = view.chip;
  $('stateFilter').value = view.state;
  $('search').value = view.q;
  SORT = view.sort;
}

function markChips() {
  var chips = document.querySelectorAll('.chip');
  for (var i = 0; i < chips.length; i++) {
    var on = !!CHIP_MARK && chips[i].getAttribute('data-filter') === CHIP_MARK;
    chips[i].classList.toggle('sel', on);
    chips[i].setAttribute('aria-pressed', on ? 'true' : 'false');
  }
}

var NATURAL_ORDER = { name: 'ascending', state: 'ascending', age: 'ascending', sync: 'descending' };

function markSort() {
  var select = $('sortOrder');
  if (select) select.value = sortKey(SORT);
  var ths = document.querySelectorAll('th[data-sort]');
  for (var i = 0; i < ths.length; i++) {
    var key = ths[i].getAttribute('data-sort');
    if (key !== sortKey(SORT)) {
      ths[i].removeAttribute('aria-sort');
      continue;
    }
    var order = NATURAL_ORDER[key];
    if (SORT.charAt(0) === '-') order = order === 'ascending' ? 'descending' : 'ascending';
    ths[i].setAttribute('aria-sort', order);
  }
}

var ANNOUNCE_TIMER = 0;

// Says `text` in the polite live region, after `delay` ms of quiet.
function announce(text, delay) {
  clearTimeout(ANNOUNCE_TIMER);
  ANNOUNCE_TIMER = setTimeout(function () {
    setText('live', text);
  }, delay || 0);
}

function shownText() {
  return VIEW.length + ' of ' + plural(REPOS.length, 'repository', 'repositories') + ' shown';
}

// Rebuilds VIEW from REPOS and the filters and shows it.
function render() {
  VIEW = sorted(filtered(REPOS, currentView()), SORT, AMBIGUOUS);
  if (!SKELETON) renderWindow();
  // Until a listing has arrived the box keeps what the load put there.
  var box = $('empty');
  if (CHECKED) {
    if (!VIEW.length) box.textContent = REPOS.length ? NO_MATCH_TEXT : NONE_FOUND_TEXT;
    box.className = VIEW.length ? 'empty hide' : 'empty';
  }
  setText('shown', REPOS.length ? shownText() : '');
  $('clearFilters').classList.toggle('hide', !filtersActive());
}

// After the user changed a filter or the sort.
function viewChanged() {
  render();
  saveView();
  announce(shownText(), 600);
}

function setSort(sort) {
  SORT = sort;
  markSort();
  viewChanged();
}

// A chip pressed again lets go: every repository again.
function setChip(chip) {
  if (chip && chip === CHIP_MARK) chip = '';
  CHIP = chip || 'all';
  CHIP_MARK = chip || '';
  markChips();
  viewChanged();
}

// Clears the filters; the focus goes to the search box (the button that
// had it hides itself).
function clearFilters() {
  CHIP = 'all';
  CHIP_MARK = '';
  $('stateFilter').value = '';
  $('search').value = '';
  markChips();
  viewChanged();
  $('search').focus();
}

// Shows the rows of one state, as the state select does.
function showState(state) {
  var select = $('stateFilter');
  if (!Object.prototype.hasOwnProperty.call(STATE_FILTERS, state)) return;
  select.value = state;
  viewChanged();
  select.focus();
}

// The roots the listing walked: named once, in the Path column's header
// and the pill's tooltip, not in every row.
function markRoots(roots) {
  var names = roots
    .filter(function (r) {
      return r && r.exists === true;
    })
    .map(function (r) {
      return str(r.root);
    });
  var text = names.length ? 'Below ' + names.join(', ') : '';
  ['pathHead', 'rootPill'].forEach(function (id) {
    if (text) $(id).setAttribute('title', text);
    else $(id).removeAttribute('title');
  });
}

// The row height: compact (about 32 px a row, for hundreds of rows) or
// comfortable, remembered in local storage beside the theme.
var DENSITY_KEY = 'quarlo_density';
var ROW_GUESS_COMFORTABLE = 58;
var ROW_GUESS_COMPACT = 33;

function applyDensity(compact) {
  var button = $('densityBtn');
  button.setAttribute('aria-pressed', compact ? 'true' : 'false');
  setRowHeight(compact, compact ? ROW_GUESS_COMPACT : ROW_GUESS_COMFORTABLE);
}

function toggleDensity() {
  var compact = !document.documentElement.classList.contains('compact');
  try {
    localStorage.setItem(DENSITY_KEY, compact ? 'compact' : 'comfortable');
  } catch (e) {}
  applyDensity(compact);
}

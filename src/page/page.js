// The dashboard's behaviour. This file is the body of the page script's one
// function: page.html wraps it in a function that runs at once, so none of
// its names is global. It loads the listing, fills the chips and the table,
// filters and sorts it, and shows one repository's detail in the drawer.
//
// The table body is windowed: only the rows in view (and a margin around
// them) stand in the document, between two spacer rows that keep the
// table's height, so a keystroke in the search box costs the same at 1,200
// repositories as at 30.
'use strict';

var NONE_FOUND_TEXT = 'No repositories found under the allowlisted roots.';
var NO_MATCH_TEXT = 'No repositories match these filters.';

function $(id) {
  return document.getElementById(id);
}

// Each storage access is guarded: a browser may refuse storage.
function storedValue(key) {
  try {
    return localStorage.getItem(key) || '';
  } catch (e) {
    return '';
  }
}

function sessionValue(key) {
  try {
    return sessionStorage.getItem(key) || '';
  } catch (e) {
    return '';
  }
}

// Connection values from the page's own URL. A password typed into the
// password page is kept for the browser session under PWD_KEY (the
// password page writes it there under the same name).
var PARAMS = new URLSearchParams(location.search);
var node = PARAMS.get('node') || '';
var sid = PARAMS.get('id') || '';
var PWD_KEY = 'quarlo_pwd' + (node ? '_' + node : '');
var pwd = PARAMS.get('pwd') || sessionValue(PWD_KEY) || (node ? storedValue('bot_pwd_' + node) : '') ||
  storedValue('bot_active_pwd');
var HUB = PARAMS.get('plugin') || '';

var DATA = [];
var ROOTS = [];
var FILTER = 'all';
var SEL = '';
// The sort: '' keeps the server's order; a leading '-' reverses a key.
var SORT = '';
// DATA filtered and sorted: what the table shows, in order.
var VIEW = [];
// Names that stand more than once in DATA: such rows show their path.
var AMBIGUOUS = {};
// Milliseconds of the last good listing's checked_at; 0 before one.
var CHECKED = 0;
var LOADING = false;
// Counts drawer openings and closings, so that a late detail answer never
// replaces what a later opening or a closing put in the drawer.
var DETAIL_SEQ = 0;

var ESC_MAP = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };

function esc(v) {
  if (v === null || v === undefined) return '';
  return String(v).replace(/[&<>"']/g, function (c) {
    return ESC_MAP[c];
  });
}

function txt(id, v) {
  var el = $(id);
  if (el && el.textContent !== String(v)) el.textContent = v;
}

// A number from the server, 0 when missing or not a number.
function num(v) {
  v = Number(v);
  return isFinite(v) ? v : 0;
}

function str(v) {
  return v === null || v === undefined ? '' : String(v);
}

function errorText(e) {
  return e && e.message ? e.message : str(e);
}

// What git could not read in this repository; empty when it read it fine
// (and from a program that does not report it).
function repoError(r) {
  return str(r.error);
}

function api(action, extra) {
  var url = HUB ? '/plugins?plugin=' + encodeURIComponent(HUB) : '/plugin_quarlo';
  url += '?action=' + encodeURIComponent(action);
  if (extra) url += '&' + extra;
  if (node) url += '&node=' + encodeURIComponent(node);
  if (sid) url += '&id=' + encodeURIComponent(sid);
  if (pwd) url += '&pwd=' + encodeURIComponent(pwd);
  var request = pwd ? fetch(url, { headers: { 'X-Bot-Password': pwd } }) : fetch(url);
  return request.then(function (res) {
    if (res.status < 200 || res.status > 299) throw new Error('HTTP ' + res.status);
    return res.json();
  });
}

var AGE_STEPS = [
  [60, 1, 's'],
  [3600, 60, 'm'],
  [86400, 3600, 'h'],
  [2592000, 86400, 'd'],
  [31536000, 2592000, 'mo'],
];

function ago(ct) {
  if (!ct) return '-';
  var s = Math.floor(Date.now() / 1000) - ct;
  if (!(s > 0)) s = 0;
  for (var i = 0; i < AGE_STEPS.length; i++)
    if (s < AGE_STEPS[i][0]) return Math.floor(s / AGE_STEPS[i][1]) + AGE_STEPS[i][2] + ' ago';
  return Math.floor(s / 31536000) + 'y ago';
}

function plural(n, one, many) {
  return n + ' ' + (n === 1 ? one : many);
}

// The parts of a change count: "2 staged, 1 untracked".
function changeParts(r) {
  var parts = [];
  if (num(r.staged) > 0) parts.push(num(r.staged) + ' staged');
  if (num(r.untracked) > 0) parts.push(num(r.untracked) + ' untracked');
  if (num(r.conflicted) > 0) parts.push(num(r.conflicted) + ' conflicted');
  return parts.join(', ');
}

// A repository's state tags, in order: [colour class, text, tooltip].
function tagList(r) {
  var err = repoError(r);
  if (err) return [['t-err', 'error', err]];
  var dirty = num(r.dirty), ahead = num(r.ahead), behind = num(r.behind), stash = num(r.stash);
  var conflicted = num(r.conflicted);
  var list = [];
  if (dirty > 0) list.push(['t-dirty', dirty + ' changed', changeParts(r)]);
  if (conflicted > 0) list.push(['t-con', conflicted + ' conflicted', '']);
  if (ahead > 0) list.push(['t-ahead', '+' + ahead, plural(ahead, 'commit', 'commits') + ' to push']);
  if (behind > 0) list.push(['t-behind', '-' + behind, plural(behind, 'commit', 'commits') + ' to pull']);
  if (r.detached) list.push(['t-det', 'detached', '']);
  if (r.no_upstream && !r.detached) list.push(['t-noup', 'no upstream', '']);
  if (r.unborn) list.push(['t-unborn', 'unborn', '']);
  if (stash > 0) list.push(['t-stash', stash + ' stash', '']);
  if (dirty === 0 && !r.detached && !r.unborn) list.push(['t-clean', 'clean', '']);
  return list;
}

function badges(r) {
  return tagList(r)
    .map(function (t) {
      return '<span class="tag ' + t[0] + '"' + (t[2] ? ' title="' + esc(t[2]) + '"' : '') + '>' + esc(t[1]) + '</span>';
    })
    .join('');
}

function passesChip(r) {
  switch (FILTER) {
  case 'dirty':
    return num(r.dirty) > 0;
  case 'ahead':
    return num(r.ahead) > 0;
  case 'behind':
    return num(r.behind) > 0;
  case 'stash':
    return num(r.stash) > 0;
  default:
    return true;
  }
}

function passesState(r, state) {
  switch (state) {
  case 'dirty':
    return num(r.dirty) > 0;
  case 'clean':
    return !(num(r.dirty) > 0) && !repoError(r);
  case 'ahead':
    return num(r.ahead) > 0;
  case 'behind':
    return num(r.behind) > 0;
  case 'detached':
    return r.detached === true;
  case 'noup':
    return r.no_upstream === true;
  case 'error':
    return !!repoError(r);
  default:
    return true;
  }
}

// The path below its root, or the whole path when it is not below it.
function relPath(r) {
  var path = str(r.path), root = str(r.root);
  if (!root || path.indexOf(root) !== 0) return path;
  return path.slice(root.length).replace(/^[\/\\]+/, '') || path;
}

// The name a row shows: the path below the root where the name alone would
// not tell two repositories apart.
function shownName(r) {
  return AMBIGUOUS[str(r.name)] ? relPath(r) : str(r.name);
}

// The search looks at what a row shows: its name (or path), branch,
// upstream (the branch's tooltip), error or last commit subject.
function matches(r) {
  var sc = $('sc'), q = $('q');
  if (!passesChip(r) || !passesState(r, sc ? sc.value : '')) return false;
  var search = q ? q.value.toLowerCase() : '';
  if (!search) return true;
  var lc = r.last_commit || {};
  var hay = [shownName(r), r.detached ? '' : r.branch, r.upstream, repoError(r), lc.subject].map(str).join(' ');
  return hay.toLowerCase().indexOf(search) >= 0;
}

function DUPS(a) {
  return a.filter(matches);
}

// How pressing a row's state is: errors first, clean last.
function stateRank(r) {
  if (repoError(r)) return 0;
  if (num(r.conflicted) > 0) return 1;
  if (num(r.dirty) > 0) return 2;
  if (num(r.behind) > 0) return 3;
  if (num(r.ahead) > 0) return 4;
  if (r.detached) return 5;
  if (num(r.stash) > 0) return 6;
  if (r.unborn || r.no_upstream) return 7;
  return 8;
}

function lastCt(r) {
  return num((r.last_commit || {}).ct);
}

// Each key's natural order: names A to Z, newest commit first, most
// commits apart first, most pressing state first.
var SORTS = {
  name: function (a, b) {
    var x = shownName(a).toLowerCase(), y = shownName(b).toLowerCase();
    return x < y ? -1 : x > y ? 1 : 0;
  },
  age: function (a, b) {
    var x = lastCt(a), y = lastCt(b);
    if (!x !== !y) return x ? -1 : 1;
    return y - x;
  },
  sync: function (a, b) {
    return num(b.ahead) + num(b.behind) - (num(a.ahead) + num(a.behind)) || num(b.behind) - num(a.behind);
  },
  state: function (a, b) {
    return stateRank(a) - stateRank(b) || num(b.dirty) - num(a.dirty);
  },
};

function sortKey() {
  return SORT.replace(/^-/, '');
}

// The list sorted by SORT; ties keep the server's order.
function sorted(list) {
  var cmp = SORTS[sortKey()];
  if (!cmp) return list;
  var sign = SORT.charAt(0) === '-' ? -1 : 1;
  return list.slice().sort(function (a, b) {
    return sign * cmp(a, b);
  });
}

// ---- Rows ----

function lastCell(r) {
  var err = repoError(r), lc = r.last_commit || {};
  if (err) return '<div class="sub subtext errtext">' + esc(err) + '</div>';
  if (!lastCt(r) && !lc.short) return '<div class="sub subtext muted">No commits yet</div>';
  return '<div class="sub subtext">' + (lc.subject ? esc(lc.subject) : '-') + '</div>' +
    '<div class="hash">' + esc(str(lc.short).slice(0, 8)) + ' &middot; ' + ago(lc.ct) + '</div>';
}

function rowHtml(r) {
  var ahead = num(r.ahead), behind = num(r.behind), stash = num(r.stash);
  var dash = '<span class="muted">-</span>';
  var branch = '';
  if (!r.detached) {
    var tip = str(r.branch) + (r.upstream ? ' \u2192 ' + str(r.upstream) : '');
    branch = '<span class="mo" title="' + esc(tip) + '">' + (r.branch ? esc(r.branch) : '-') + '</span> ';
  }
  return (
    '<tr class="row' + (SEL && r.path === SEL ? ' sel' : '') + '" data-p="' + esc(r.path) +
    '" data-q="' + esc(str(r.path_param)) + '" tabindex="0" role="button">' +
    '<td class="c-repo"><div class="name" title="' + esc(r.path) + '">' + esc(shownName(r)) + '</div>' +
    '<div class="sub">' + branch + badges(r) + '</div></td>' +
    '<td class="c-root muted mo"' + (r.root ? ' title="' + esc(r.root) + '">' + esc(r.root) : '>-') + '</td>' +
    '<td class="c-sync mo">' + (ahead || behind ? '+' + ahead + ' -' + behind : dash) + '</td>' +
    '<td class="c-sync mo">' + (stash ? stash : dash) + '</td>' +
    '<td class="c-last">' + lastCell(r) + '</td>' +
    '</tr>'
  );
}

// ---- The windowed table body ----

// Row elements made so far, by repository record (a listing may hold one
// path twice); emptied when a listing arrives.
var ROW_EL = new Map();
// Measured row heights by record, for the current window width.
var HEIGHT = new Map();
var HEIGHT_WIDTH = 0;
// The guess for a row not measured yet: the mean of those measured.
var ROW_GUESS = 58;
// Pixels rendered beyond each edge of the window.
var OVERSCAN = 400;
var PAD_TOP = null;
var PAD_BOTTOM = null;
// The VIEW indices in the document: [WIN_START, WIN_END).
var WIN_START = 0;
var WIN_END = 0;
var SKELETON = false;

function spacer() {
  var tr = document.createElement('tr');
  tr.className = 'pad';
  tr.setAttribute('aria-hidden', 'true');
  tr.appendChild(document.createElement('td')).colSpan = 5;
  return tr;
}

function rowHeight(r) {
  var h = HEIGHT.get(r);
  return h === undefined ? ROW_GUESS : h;
}

// Makes the missing row elements of `list` from one parsed text.
function makeRows(list) {
  var missing = list.filter(function (r) {
    return !ROW_EL.has(r);
  });
  if (!missing.length) return;
  var tpl = document.createElement('template');
  tpl.innerHTML = missing.map(rowHtml).join('');
  var trs = tpl.content.children;
  for (var i = 0; i < missing.length; i++) ROW_EL.set(missing[i], trs[i]);
}

// Puts the rows of VIEW that are in view into the body, between the two
// spacers, moving no row that stays (a focused row keeps its focus).
function placeRows(body, start, end) {
  var want = VIEW.slice(start, end);
  makeRows(want);
  var keep = new Set();
  want.forEach(function (r) {
    keep.add(ROW_EL.get(r));
  });
  var node = PAD_TOP.nextSibling;
  while (node !== PAD_BOTTOM) {
    var next = node.nextSibling;
    if (!keep.has(node)) body.removeChild(node);
    node = next;
  }
  node = PAD_TOP.nextSibling;
  for (var i = 0; i < want.length; i++) {
    var el = ROW_EL.get(want[i]);
    if (el === node) node = node.nextSibling;
    else body.insertBefore(el, node);
    el.classList.toggle('end', start + i === VIEW.length - 1);
  }
  WIN_START = start;
  WIN_END = end;
}

// Measures the rows in the document; true when a height changed.
function measureRows() {
  var changed = false, sum = 0;
  for (var i = WIN_START; i < WIN_END; i++) {
    var r = VIEW[i];
    var h = ROW_EL.get(r).getBoundingClientRect().height;
    if (HEIGHT.get(r) !== h) changed = true;
    HEIGHT.set(r, h);
  }
  HEIGHT.forEach(function (v) {
    sum += v;
  });
  if (HEIGHT.size) ROW_GUESS = sum / HEIGHT.size;
  return changed;
}

function renderWindow() {
  var body = $('rows');
  if (!PAD_TOP || PAD_TOP.parentNode !== body) {
    body.textContent = '';
    PAD_TOP = body.appendChild(spacer());
    PAD_BOTTOM = body.appendChild(spacer());
    WIN_START = WIN_END = 0;
  }
  SKELETON = false;
  if (window.innerWidth !== HEIGHT_WIDTH) {
    HEIGHT = new Map();
    HEIGHT_WIDTH = window.innerWidth;
  }
  // A few passes: the first places rows by guessed heights, the next ones
  // correct the window once the new rows are measured or the scroll moved.
  for (var pass = 0; pass < 4; pass++) {
    var top = -body.getBoundingClientRect().top - OVERSCAN;
    var bottom = top + window.innerHeight + 2 * OVERSCAN;
    var y = 0, i = 0, n = VIEW.length;
    while (i < n && y + rowHeight(VIEW[i]) <= top) y += rowHeight(VIEW[i++]);
    var start = i;
    while (i < n && y < bottom) y += rowHeight(VIEW[i++]);
    var end = i;
    // The first pass always places the rows: VIEW may have changed.
    var same = start === WIN_START && end === WIN_END;
    if (!same || pass === 0) placeRows(body, start, end);
    var remeasured = measureRows();
    var above = 0, below = 0;
    for (i = 0; i < start; i++) above += rowHeight(VIEW[i]);
    for (i = end; i < n; i++) below += rowHeight(VIEW[i]);
    PAD_TOP.firstChild.style.height = above + 'px';
    PAD_BOTTOM.firstChild.style.height = below + 'px';
    if (same && !remeasured && pass > 0) break;
  }
}

var FRAME = 0;

function scheduleWindow() {
  if (FRAME || SKELETON) return;
  FRAME = requestAnimationFrame(function () {
    FRAME = 0;
    renderWindow();
  });
}

// Grey rows in place of the table while the first listing loads.
function showSkeleton() {
  var body = $('rows');
  var row = '<tr class="skel" aria-hidden="true"><td class="c-repo"><i></i><i class="s"></i></td>' +
    '<td class="c-root"><i></i></td><td class="c-sync"><i class="s"></i></td><td class="c-sync"><i class="s"></i></td>' +
    '<td class="c-last"><i></i><i class="s"></i></td></tr>';
  body.innerHTML = new Array(7).join(row);
  PAD_TOP = PAD_BOTTOM = null;
  SKELETON = true;
}

// ---- Filters, sort and the address ----

function filtersActive() {
  var sc = $('sc'), q = $('q');
  return FILTER !== 'all' || !!(sc && sc.value) || !!(q && q.value);
}

// Keeps the view in the page's address, so a reload or a shared link shows
// the same view. Every other parameter stays as it is.
function saveView() {
  try {
    var p = new URLSearchParams(location.search);
    var view = { chip: FILTER === 'all' ? '' : FILTER, state: $('sc').value, q: $('q').value, sort: SORT };
    for (var k in view) {
      if (view[k]) p.set(k, view[k]);
      else p.delete(k);
    }
    var search = p.toString();
    history.replaceState(history.state, '', location.pathname + (search ? '?' + search : '') + location.hash);
  } catch (e) {}
}

function optionExists(select, value) {
  for (var i = 0; i < select.options.length; i++) if (select.options[i].value === value) return true;
  return false;
}

function restoreView() {
  var chip = PARAMS.get('chip') || '';
  if (/^(dirty|ahead|behind|stash)$/.test(chip)) FILTER = CHIP_MARK = chip;
  var state = PARAMS.get('state') || '';
  var sc = $('sc');
  if (sc && state && optionExists(sc, state)) sc.value = state;
  var q = $('q');
  if (q) q.value = PARAMS.get('q') || '';
  var sort = PARAMS.get('sort') || '';
  if (SORTS[sort.replace(/^-/, '')]) SORT = sort;
}

// The chip marked as selected: none at start, although the filter is "all".
var CHIP_MARK = '';

function markChips() {
  var chips = document.querySelectorAll('.chip');
  for (var i = 0; i < chips.length; i++) {
    var on = !!CHIP_MARK && chips[i].getAttribute('data-filter') === CHIP_MARK;
    chips[i].classList.toggle('sel', on);
    chips[i].setAttribute('aria-pressed', on ? 'true' : 'false');
  }
}

var NATURAL_ORDER = { name: 'ascending', age: 'ascending', sync: 'descending' };

function markSort() {
  var so = $('so');
  if (so) so.value = sortKey();
  var ths = document.querySelectorAll('th[data-sort]');
  for (var i = 0; i < ths.length; i++) {
    var key = ths[i].getAttribute('data-sort');
    if (key !== sortKey()) {
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
    txt('live', text);
  }, delay || 0);
}

function shownText() {
  return VIEW.length + ' of ' + plural(DATA.length, 'repository', 'repositories') + ' shown';
}

// Rebuilds VIEW from DATA and the filters and shows it.
function render() {
  VIEW = sorted(DUPS(DATA));
  if (!SKELETON) renderWindow();
  // Until a listing has arrived the box keeps what the load put there.
  var box = $('empty');
  if (CHECKED) {
    if (!VIEW.length) box.textContent = DATA.length ? NO_MATCH_TEXT : NONE_FOUND_TEXT;
    box.className = VIEW.length ? 'empty hide' : 'empty';
  }
  txt('shown', DATA.length ? shownText() : '');
  $('clr').classList.toggle('hide', !filtersActive());
}

// After the user changed a filter or the sort.
function viewChanged() {
  render();
  saveView();
  announce(shownText(), 600);
}

function setCounts(s, n) {
  s = s || {};
  txt('vAll', num(n));
  txt('vDirty', num(s.dirty));
  txt('vAhead', num(s.ahead));
  txt('vBehind', num(s.behind));
  txt('vStash', num(s.stashes));
}

function rootsText(roots) {
  var n = roots.filter(function (r) {
    return r && r.exists === true;
  }).length;
  if (n === 0) return 'no roots';
  return n === 1 ? '1 root' : n + ' roots';
}

// The limits a listing reached and the repositories git could not read.
function noticesHtml(d, roots) {
  var h = '';
  if (d.table_capped === true)
    h += '<div class="notice">The repository table is full at ' + num(d.count) +
      ' repositories: any further repositories below the roots are not listed.</div>';
  roots.forEach(function (root) {
    if (root && root.truncated === true)
      h += '<div class="notice">The search below <span class="mo">' + esc(root.root) +
        '</span> stopped at its depth or folder limit: some repositories there may be missing.</div>';
  });
  var errors = num((d.summary || {}).errors);
  if (errors > 0)
    h += '<div class="notice">Git could not read ' + plural(errors, 'repository', 'repositories') +
      ': see the rows tagged &ldquo;error&rdquo;.</div>';
  return h;
}

function clockTime(ms) {
  var d = new Date(ms);
  return [d.getHours(), d.getMinutes(), d.getSeconds()]
    .map(function (v) {
      return (v < 10 ? '0' : '') + v;
    })
    .join(':');
}

var LAST_FAILURE = '';

// The texts that say how old the rows are; kept current once a second.
function refreshStamps() {
  var checked = CHECKED ? 'checked ' + ago(Math.floor(CHECKED / 1000)) : '';
  txt('stamp', LOADING ? (CHECKED ? 'rescanning\u2026' : 'loading\u2026') : checked);
  var banner = $('banner');
  if (!LAST_FAILURE) {
    banner.classList.add('hide');
    return;
  }
  var text = 'Load failed: ' + LAST_FAILURE + '. ';
  text += CHECKED
    ? 'The rows shown are from the last good load, checked at ' + clockTime(CHECKED) + ' (' +
      ago(Math.floor(CHECKED / 1000)) + ').'
    : 'No listing has been loaded yet.';
  txt('banner', text);
  banner.classList.remove('hide');
}

function setLoading(on) {
  LOADING = on;
  var rf = $('rfBtn');
  if (rf) rf.disabled = on;
  $('loadbar').classList.toggle('hide', !on);
  var chips = $('chips');
  chips.classList.toggle('pending', on);
  chips.setAttribute('aria-busy', on ? 'true' : 'false');
  $('panel').setAttribute('aria-busy', on ? 'true' : 'false');
  refreshStamps();
}

function load() {
  setLoading(true);
  if (!DATA.length) showSkeleton();
  return api('repos')
    .then(function (d) {
      d = d || {};
      var repos = Array.isArray(d.repos) ? d.repos : [];
      var roots = Array.isArray(d.roots) ? d.roots : [];
      var pill = rootsText(roots);
      var seen = {};
      AMBIGUOUS = {};
      repos.forEach(function (r) {
        var name = str(r && r.name);
        if (seen[name]) AMBIGUOUS[name] = true;
        seen[name] = true;
      });
      DATA = repos.filter(function (r) {
        return r && typeof r === 'object';
      });
      ROOTS = roots;
      // A focused row keeps the focus in its new element.
      var focused = document.activeElement;
      var focusPath = focused && focused.classList && focused.classList.contains('row') ? focused.getAttribute('data-p') : '';
      ROW_EL = new Map();
      SKELETON = false;
      var checked = Date.parse(str(d.checked_at));
      CHECKED = isFinite(checked) ? checked : Date.now();
      LAST_FAILURE = '';
      setCounts(d.summary, d.count);
      $('notices').innerHTML = noticesHtml(d, roots);
      txt('rootPill', pill);
      LOADING = false;
      render();
      var again = focusPath && revealRow(viewIndex(focusPath));
      if (again) again.focus({ preventScroll: true });
      announce('Loaded ' + plural(DATA.length, 'repository', 'repositories') +
        (filtersActive() ? '; ' + shownText() : '') + '.');
    })
    .catch(function (e) {
      LAST_FAILURE = errorText(e);
      txt('rootPill', 'error');
      var box = $('empty');
      box.className = 'empty';
      box.textContent = 'Load failed: ' + LAST_FAILURE;
      LOADING = false;
      if (SKELETON) {
        $('rows').textContent = '';
        SKELETON = false;
      }
      announce('Load failed: ' + LAST_FAILURE);
    })
    .then(function () {
      setLoading(false);
    });
}

// ---- The drawer ----

function codeClass(c) {
  c = str(c);
  if (c === '??' || c === '!!') return 'c-unt';
  if (c === 'UU' || c === 'AA' || c === 'DD') return 'c-con';
  if (c.indexOf('A') >= 0) return 'c-add';
  if (c.indexOf('D') >= 0) return 'c-del';
  return 'c-mod';
}

var UNKNOWN_HTML = '<div class="muted">Not known: git could not read this repository.</div>';

function detailHtml(d) {
  var r = d.repo || {};
  var lc = r.last_commit || {};
  var err = repoError(r);
  var changed = Array.isArray(d.changed) ? d.changed : [];
  var commits = Array.isArray(d.commits) ? d.commits : [];
  var h = '<div class="dsec">Repository</div>';
  h += '<div class="mo" style="font-size:12px;word-break:break-all">' + esc(r.path) + '</div>';
  h += '<div class="dact"><button type="button" class="icon-btn" id="dCopy">Copy path</button>' +
    '<span class="muted" id="dCopied" role="status"></span></div>';
  h += '<div style="margin-top:8px">' + badges(r) + '</div>';
  if (err) h += '<div class="err">' + esc(err) + '</div>';
  h += '<div class="note">branch <span class="mo">' + (r.branch ? esc(r.branch) : '-') + '</span>';
  if (r.upstream) h += ' &rarr; <span class="mo">' + esc(r.upstream) + '</span>';
  h += '</div>';
  h += '<div class="note">remote <span class="mo">' + (r.remote ? esc(r.remote) : '-') + '</span></div>';

  h += '<div class="dsec">Last commit</div>';
  if (err) {
    h += UNKNOWN_HTML;
  } else if (!lastCt(r) && !lc.short) {
    h += '<div class="muted">No commits yet.</div>';
  } else {
    h += '<ul class="clist"><li><div class="s">' + (lc.subject ? esc(lc.subject) : '-') + '</div>';
    h += '<div class="m"><span class="mo">' + esc(str(lc.short).slice(0, 8)) + '</span><span>' + ago(lc.ct) + '</span></div>';
    h += '</li></ul>';
  }

  h += '<div class="dsec">Changed files (' + num(d.changed_count) + ')</div>';
  if (!changed.length) {
    h += err ? UNKNOWN_HTML : '<div class="muted">Working tree is clean.</div>';
  } else {
    h += '<ul class="flist">';
    for (var i = 0; i < changed.length; i++) {
      var f = changed[i] || {};
      h += '<li><span class="c ' + codeClass(f.code) + '">' + esc(f.code) + '</span><span class="p">' + esc(f.path) + '</span></li>';
    }
    h += '</ul>';
  }
  if (d.changed_truncated === true) h += '<div class="note">Showing the first 500 entries.</div>';

  h += '<div class="dsec">Recent commits (' + commits.length + ')</div>';
  if (!commits.length) {
    h += err ? UNKNOWN_HTML : '<div class="muted">No commits yet.</div>';
  } else {
    h += '<ul class="clist">';
    for (var j = 0; j < commits.length; j++) {
      var c = commits[j] || {};
      h += '<li><div class="s">' + esc(c.subject) + '</div><div class="m"><span class="mo">' + esc(str(c.hash).slice(0, 8)) +
        '</span><span>' + esc(c.author) + '</span><span>' + ago(c.ct) + '</span></div></li>';
    }
    h += '</ul>';
  }
  return h;
}

// Copies `text` to the clipboard: the clipboard call where the page is a
// secure context, else the older copy command on a selected scratch field.
function copyText(text) {
  if (navigator.clipboard && window.isSecureContext) return navigator.clipboard.writeText(text);
  return new Promise(function (resolve, reject) {
    var area = document.createElement('textarea');
    area.value = text;
    area.setAttribute('readonly', '');
    area.className = 'sr-only';
    $('drawer').appendChild(area);
    area.select();
    var ok = false;
    try {
      ok = document.execCommand('copy');
    } catch (e) {}
    area.remove();
    if (ok) resolve();
    else reject(new Error('copy refused'));
  });
}

function wireCopy(path) {
  var btn = $('dCopy');
  if (!btn) return;
  btn.addEventListener('click', function () {
    copyText(path).then(
      function () {
        txt('dCopied', 'Copied.');
      },
      function () {
        txt('dCopied', 'Could not copy; select the path above.');
      },
    );
  });
}

function markSelected(path) {
  SEL = path;
  ROW_EL.forEach(function (el, r) {
    el.classList.toggle('sel', !!SEL && r.path === SEL);
  });
}

function drawerOpen() {
  return $('drawer').classList.contains('open');
}

// Opens the drawer for the repository at `path`. `param`, the listing's
// path_param, is the path's own bytes encoded for the query: where a name is
// not UTF-8, `path` reads U+FFFD and only `param` names the folder. Other
// paths are sent as they always were.
function openDetail(path, param) {
  path = str(path);
  markSelected(path);
  var seq = ++DETAIL_SEQ;
  var drawer = $('drawer');
  drawer.classList.add('open');
  drawer.setAttribute('aria-hidden', 'false');
  drawer.inert = false;
  $('scrim').classList.remove('hide');
  var wrap = document.querySelector('.wrap');
  if (wrap) wrap.inert = true;
  var parts = path.split(/[\/\\]/);
  txt('dName', parts[parts.length - 1] || path);
  var body = $('dBody');
  body.innerHTML = '<div class="muted">Loading\u2026</div>';
  var close = $('dClose');
  if (close && close.focus) close.focus();
  api('repo', 'path=' + (param && path.indexOf('\uFFFD') >= 0 ? param : encodeURIComponent(path)))
    .then(function (d) {
      if (!d || d.ok !== true) throw new Error((d && d.error && str(d.error)) || 'failed');
      if (seq !== DETAIL_SEQ) return;
      body.innerHTML = detailHtml(d);
      wireCopy(str((d.repo || {}).path) || path);
    })
    .catch(function (e) {
      if (seq === DETAIL_SEQ) body.innerHTML = '<div class="err">Could not read this repository: ' + esc(errorText(e)) + '</div>';
    });
}

// The index in VIEW of the first row of `path`; -1 when the filters hide it.
function viewIndex(path) {
  for (var i = 0; i < VIEW.length; i++) if (VIEW[i].path === path) return i;
  return -1;
}

// Brings row `at` of VIEW into the document and wholly into view, below the
// sticky header; gives its element, or null when there is no such row.
function revealRow(at) {
  if (!(at >= 0 && at < VIEW.length)) return null;
  var body = $('rows');
  if (at < WIN_START || at >= WIN_END) {
    var y = 0;
    for (var k = 0; k < at; k++) y += rowHeight(VIEW[k]);
    window.scrollTo(0, body.getBoundingClientRect().top + window.scrollY + y - window.innerHeight / 3);
    renderWindow();
  }
  var el = ROW_EL.get(VIEW[at]);
  if (!el) return null;
  var head = document.querySelector('thead');
  var top = head ? head.getBoundingClientRect().height : 0;
  var box = el.getBoundingClientRect();
  var by = box.bottom > window.innerHeight ? box.bottom - window.innerHeight : box.top < top ? box.top - top : 0;
  if (by) {
    window.scrollBy(0, by);
    renderWindow();
  }
  return el;
}

function closeDetail() {
  var wasOpen = drawerOpen();
  var path = SEL;
  markSelected('');
  DETAIL_SEQ++;
  var drawer = $('drawer');
  drawer.classList.remove('open');
  drawer.setAttribute('aria-hidden', 'true');
  // Out of the keyboard's and assistive technology's reach at once, not
  // only when the slide-out ends and it turns invisible.
  drawer.inert = true;
  $('scrim').classList.add('hide');
  var wrap = document.querySelector('.wrap');
  if (wrap) wrap.inert = false;
  if (wasOpen && path) {
    var row = revealRow(viewIndex(path));
    if (row) row.focus({ preventScroll: true });
  }
}

// Keeps Tab inside the open drawer.
function trapFocus(e) {
  var items = $('drawer').querySelectorAll('button, [href], input, select, textarea, [tabindex]:not([tabindex="-1"])');
  if (!items.length) return;
  var first = items[0], last = items[items.length - 1];
  var inside = $('drawer').contains(document.activeElement);
  if (e.shiftKey && (document.activeElement === first || !inside)) {
    e.preventDefault();
    last.focus();
  } else if (!e.shiftKey && (document.activeElement === last || !inside)) {
    e.preventDefault();
    first.focus();
  }
}

// Moves the focus from row `tr` by `step` rows of VIEW.
function stepRow(tr, step) {
  for (var i = WIN_START; i < WIN_END; i++) {
    if (ROW_EL.get(VIEW[i]) !== tr) continue;
    var el = revealRow(i + step);
    if (el) el.focus({ preventScroll: true });
    return;
  }
}

function toggleTheme() {
  if (typeof window.ksApplyTheme !== 'function') return;
  var now = typeof window.ksTheme === 'function' ? window.ksTheme() : '';
  window.ksApplyTheme(now === 'dark' ? 'light' : 'dark');
}

function typingIn(el) {
  return el && (el.tagName === 'INPUT' || el.tagName === 'SELECT' || el.tagName === 'TEXTAREA' || el.isContentEditable);
}

function setSort(sort) {
  SORT = sort;
  markSort();
  viewChanged();
}

function clearFilters() {
  FILTER = 'all';
  CHIP_MARK = '';
  $('sc').value = '';
  $('q').value = '';
  markChips();
  viewChanged();
}

$('dClose').addEventListener('click', closeDetail);
$('scrim').addEventListener('click', closeDetail);
document.addEventListener('keydown', function (e) {
  if (e.key === 'Escape') {
    closeDetail();
  } else if (e.key === 'Tab' && drawerOpen()) {
    trapFocus(e);
  } else if (e.key === '/' && !drawerOpen() && !typingIn(e.target) && !e.ctrlKey && !e.metaKey && !e.altKey) {
    e.preventDefault();
    $('q').focus();
  }
});
$('rfBtn').addEventListener('click', function () {
  load();
});
$('q').addEventListener('input', viewChanged);
$('sc').addEventListener('change', viewChanged);
$('so').addEventListener('change', function () {
  setSort(this.value);
});
$('clr').addEventListener('click', clearFilters);
$('thBtn').addEventListener('click', toggleTheme);
var CHIPS = document.querySelectorAll('.chip');
for (var ci = 0; ci < CHIPS.length; ci++) {
  CHIPS[ci].addEventListener('click', function () {
    FILTER = CHIP_MARK = this.getAttribute('data-filter') || 'all';
    markChips();
    viewChanged();
  });
}
var SORT_HEADS = document.querySelectorAll('th[data-sort] button');
for (var si = 0; si < SORT_HEADS.length; si++) {
  SORT_HEADS[si].addEventListener('click', function () {
    var key = this.parentNode.getAttribute('data-sort');
    setSort(SORT === key ? '-' + key : key);
  });
}
var ROWS = $('rows');
ROWS.addEventListener('click', function (e) {
  var tr = e.target.closest && e.target.closest('tr.row');
  if (tr) openDetail(tr.getAttribute('data-p'), tr.getAttribute('data-q'));
});
ROWS.addEventListener('keydown', function (e) {
  var tr = e.target.closest && e.target.closest('tr.row');
  if (!tr || e.target !== tr) return;
  if (e.key === 'Enter' || e.key === ' ') {
    e.preventDefault();
    openDetail(tr.getAttribute('data-p'), tr.getAttribute('data-q'));
  } else if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
    e.preventDefault();
    stepRow(tr, e.key === 'ArrowDown' ? 1 : -1);
  }
});
window.addEventListener('scroll', scheduleWindow, { passive: true });
window.addEventListener('resize', scheduleWindow);
setInterval(refreshStamps, 1000);

restoreView();
markChips();
markSort();
load();

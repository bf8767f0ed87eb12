// Loading the listing: the chips' counts, the root pill, the notices, how
// old the rows are, and the failure banner.

// Milliseconds of the shown listing's checked_at; 0 before one.
var CHECKED = 0;
var LOADING = false;
// The load running, so that a second one is never started beside it.
var CURRENT_LOAD = null;
// What the last load failed with; empty after a good one. LAST_STATUS: its
// HTTP status (0: the host could not be reached).
var LAST_FAILURE = '';
var LAST_STATUS = 0;
// The browser's clock (ms) at the last good load and at the last failed one.
var LOADED_AT = 0;
var FAILED_AT = 0;
// True while the rows shown are the kept listing of an earlier opening.
var FROM_KEPT = false;

var COUNT_IDS = ['vAll', 'vNeeds', 'vDirty', 'vAhead', 'vBehind', 'vStash', 'vHere'];

// While the tab is visible the listing is rescanned this often (ms), and
// when the tab comes back into view with rows older than RESCAN_ON_FOCUS.
var RESCAN_EVERY = 3 * 60000;
var RESCAN_ON_FOCUS = 60000;
// No rescan within this long after a failed one.
var RETRY_AFTER = 60000;
// Rows checked longer ago than this are old: the stamp turns amber.
var OLD_AFTER = 2 * RESCAN_EVERY;

// The chips' values (`needs` and `here`: the repositories that need the
// user and those holding work only here, counted in the rows); `s` null before any listing: each says "–" (unknown)
// in the muted colour, not a zero. A zero is grey whatever its chip.
function setCounts(s, n, needs, here) {
  var known = !!s;
  s = s || {};
  var values = [n, needs, s.dirty, s.ahead, s.behind, s.stashes, here];
  for (var i = 0; i < COUNT_IDS.length; i++) {
    setText(COUNT_IDS[i], known ? num(values[i]) : '\u2013');
    $(COUNT_IDS[i]).classList.toggle('zero', known && !num(values[i]));
  }
  $('chips').classList.toggle('unknown', !known);
  setTitle(known ? needs : 0);
}

// The tab's title carries how many repositories need the user ("3 need you
// · git"); in embed mode the host frame owns the title.
function setTitle(needs) {
  if (embedOf(ADDRESS)) return;
  var title = needs > 0 ? needs + (needs === 1 ? ' needs' : ' need') + ' you \u00b7 git' : 'git';
  if (document.title !== title) document.title = title;
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
      ': <button type="button" class="link" data-state="error">show the rows tagged &ldquo;unreadable&rdquo;</button>.</div>';
  return h;
}

// The texts that say how old the rows are; kept current once a second.
// The stamp stays in view; it turns amber when the rows are old (or are
// the kept ones of an earlier opening).
function refreshStamps() {
  var age = ago(Math.floor(CHECKED / 1000));
  var stamp = CHECKED ? 'checked ' + age : '';
  if (LOADING) stamp = FROM_KEPT ? 'from ' + age + ', checking\u2026' : CHECKED ? 'rescanning\u2026' : 'loading\u2026';
  setText('stamp', stamp);
  $('stamp').classList.toggle('old', !!CHECKED && (FROM_KEPT || Date.now() - CHECKED > OLD_AFTER));
  var banner = $('banner');
  if (!LAST_FAILURE) {
    banner.classList.add('hide');
    return;
  }
  var text = LAST_FAILURE + '. ';
  text += CHECKED
    ? 'The rows shown are from the last good load, checked at ' + clockTime(CHECKED) + ' (' +
      ago(Math.floor(CHECKED / 1000)) + ').'
    : 'No listing has been loaded yet.';
  setText('bannerText', text);
  // A refused password: the field to type the new one, in place.
  var ask = $('pwAgain');
  if (LAST_STATUS === 401 && ask.classList.contains('hide')) {
    ask.classList.remove('hide');
    $('pwAgainField').value = '';
  } else if (LAST_STATUS !== 401) {
    ask.classList.add('hide');
  }
  banner.classList.remove('hide');
}

function setLoading(on) {
  LOADING = on;
  var rescan = $('rescan');
  if (rescan) rescan.disabled = on;
  $('loadbar').classList.toggle('hide', !on);
  // Counts already shown (from the kept listing) stay readable while the
  // new ones load.
  var chips = $('chips');
  chips.classList.toggle('pending', on && !CHECKED);
  chips.classList.toggle('old', FROM_KEPT);
  chips.setAttribute('aria-busy', on ? 'true' : 'false');
  $('panel').setAttribute('aria-busy', on ? 'true' : 'false');
  refreshStamps();
}

// Heights measured for the rows of the listing shown, by path, for the
// same repositories in the next one: the rows in view keep their places.
function heightsByPath() {
  var byPath = {};
  HEIGHT.forEach(function (h, r) {
    byPath[str(r.path)] = h;
  });
  return byPath;
}

// Shows the listing `d`: chips, pill, notices and rows. The filters, the
// scroll position and the open drawer stay as they are.
function showListing(d) {
  var repos = Array.isArray(d.repos) ? d.repos : [];
  var roots = Array.isArray(d.roots) ? d.roots : [];
  var heights = heightsByPath();
  AMBIGUOUS = ambiguousNames(repos);
  REPOS = repos.filter(function (r) {
    return r && typeof r === 'object';
  });
  ROOTS = roots;
  // A focused row keeps the focus in its new element.
  var focused = document.activeElement;
  var focusRowEl = focused && focused.closest ? focused.closest('tr.row') : null;
  var focusPath = focusRowEl ? focusRowEl.getAttribute('data-p') : '';
  ROW_EL = new Map();
  HEIGHT = new Map();
  REPOS.forEach(function (r) {
    var h = heights[str(r.path)];
    if (h !== undefined) HEIGHT.set(r, h);
  });
  SKELETON = false;
  var checked = Date.parse(str(d.checked_at));
  CHECKED = isFinite(checked) ? checked : Date.now();
  setCounts(d.summary || {}, d.count, REPOS.filter(needsYou).length, REPOS.filter(onlyHere).length);
  $('chips').classList.toggle('old', FROM_KEPT);
  $('notices').innerHTML = noticesHtml(d, roots);
  setText('rootPill', rootsText(roots));
  markRoots(roots);
  render();
  var again = focusPath && revealRow(viewIndex(focusPath));
  if (again) focusRow(again);
}

// Shows the listing kept from an earlier opening, if there is one, marked
// as earlier until the new one lands.
function showKept() {
  var d = keptListing(localStore(), CONNECTION.node);
  if (!d) return;
  FROM_KEPT = true;
  showListing(d);
}

// Takes the kept rows away again (the password was refused).
function dropKept() {
  FROM_KEPT = false;
  REPOS = [];
  AMBIGUOUS = {};
  CHECKED = 0;
  ROW_EL = new Map();
  $('notices').innerHTML = '';
  setCounts(null);
  render();
}

function load() {
  if (CURRENT_LOAD) return CURRENT_LOAD;
  setLoading(true);
  if (!REPOS.length) showSkeleton();
  CURRENT_LOAD = api('repos')
    .then(function (d) {
      d = d || {};
      LAST_FAILURE = '';
      LAST_STATUS = 0;
      LOADING = false;
      FROM_KEPT = false;
      LOADED_AT = Date.now();
      FAILED_AT = 0;
      showListing(d);
      keepListing(localStore(), CONNECTION.node, d);
      announce('Loaded ' + plural(REPOS.length, 'repository', 'repositories') +
        (filtersActive() ? '; ' + shownText() : '') + '.');
    })
    .catch(function (e) {
      LAST_FAILURE = errorText(e);
      LAST_STATUS = num(e && e.status);
      FAILED_AT = Date.now();
      LOADING = false;
      if (LAST_STATUS === 401) {
        forgetListing(localStore(), CONNECTION.node);
        if (FROM_KEPT) dropKept();
      }
      FROM_KEPT = false;
      setText('rootPill', 'error');
      if (SKELETON) {
        $('rows').textContent = '';
        SKELETON = false;
      }
      // The banner says what failed; the table's message box says nothing more.
      if (!CHECKED) {
        setCounts(null);
        $('empty').className = 'empty hide';
      }
      announce(LAST_FAILURE);
    })
    .then(function () {
      CURRENT_LOAD = null;
      setLoading(false);
    });
  return CURRENT_LOAD;
}

// Whether a rescan may start now: the tab is visible, no load runs, and
// no load failed within RETRY_AFTER.
function mayRescan(now) {
  return document.visibilityState === 'visible' && !CURRENT_LOAD && !(FAILED_AT && now - FAILED_AT < RETRY_AFTER);
}

// When the tab comes back into view (or the window regains the focus) with
// rows older than RESCAN_ON_FOCUS: one rescan, never while hidden, never
// beside a running load, not within RETRY_AFTER of a failed one.
function refreshIfStale() {
  var now = Date.now();
  if (!mayRescan(now) || (LOADED_AT && now - LOADED_AT < RESCAN_ON_FOCUS)) return;
  load();
}

// Once a second: the stamps, and a rescan every RESCAN_EVERY while the tab
// is visible.
function tick() {
  refreshStamps();
  var now = Date.now();
  if (LOADED_AT && now - LOADED_AT >= RESCAN_EVERY && mayRescan(now)) load();
}

// A new password typed into the banner's field: the listing again with it.
function retryWithPassword(e) {
  e.preventDefault();
  var pwd = $('pwAgainField').value;
  if (!pwd) return;
  usePassword(pwd);
  $('pwAgain').classList.add('hide');
  FAILED_AT = 0;
  load();
}

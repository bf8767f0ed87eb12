// Loading the listing: the chips' counts, the root pill, the notices, how
// old the rows are, and the failure banner.

// Milliseconds of the last good listing's checked_at; 0 before one.
var CHECKED = 0;
var LOADING = false;
// What the last load failed with; empty after a good one.
var LAST_FAILURE = '';

function setCounts(s, n) {
  s = s || {};
  setText('vAll', num(n));
  setText('vDirty', num(s.dirty));
  setText('vAhead', num(s.ahead));
  setText('vBehind', num(s.behind));
  setText('vStash', num(s.stashes));
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

// The texts that say how old the rows are; kept current once a second.
function refreshStamps() {
  var checked = CHECKED ? 'checked ' + ago(Math.floor(CHECKED / 1000)) : '';
  setText('stamp', LOADING ? (CHECKED ? 'rescanning\u2026' : 'loading\u2026') : checked);
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
  setText('banner', text);
  banner.classList.remove('hide');
}

function setLoading(on) {
  LOADING = on;
  var rescan = $('rescan');
  if (rescan) rescan.disabled = on;
  $('loadbar').classList.toggle('hide', !on);
  var chips = $('chips');
  chips.classList.toggle('pending', on);
  chips.setAttribute('aria-busy', on ? 'true' : 'false');
  $('panel').setAttribute('aria-busy', on ? 'true' : 'false');
  refreshStamps();
}

// Shows the listing `d`: chips, pill, notices and rows.
function showListing(d) {
  var repos = Array.isArray(d.repos) ? d.repos : [];
  var roots = Array.isArray(d.roots) ? d.roots : [];
  AMBIGUOUS = ambiguousNames(repos);
  REPOS = repos.filter(function (r) {
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
  setCounts(d.summary, d.count);
  $('notices').innerHTML = noticesHtml(d, roots);
  setText('rootPill', rootsText(roots));
  render();
  var again = focusPath && revealRow(viewIndex(focusPath));
  if (again) again.focus({ preventScroll: true });
}

function load() {
  setLoading(true);
  if (!REPOS.length) showSkeleton();
  return api('repos')
    .then(function (d) {
      LAST_FAILURE = '';
      LOADING = false;
      showListing(d || {});
      announce('Loaded ' + plural(REPOS.length, 'repository', 'repositories') +
        (filtersActive() ? '; ' + shownText() : '') + '.');
    })
    .catch(function (e) {
      LAST_FAILURE = errorText(e);
      setText('rootPill', 'error');
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

// The table's rows and the windowed table body.
//
// Only the rows in view (and a margin around them) stand in the document,
// between two spacer rows that keep the table's height, so a keystroke in
// the search box costs the same at 1,200 repositories as at 30.

function lastCell(r) {
  var err = repoError(r), lc = r.last_commit || {};
  if (err) return '<div class="sub subtext errtext">' + esc(err) + '</div>';
  if (!lastCt(r) && !lc.short) return '<div class="sub subtext muted">No commits yet</div>';
  return '<div class="sub subtext">' + (lc.subject ? esc(lc.subject) : '-') + '</div>' +
    '<div class="hash">' + esc(str(lc.short).slice(0, 8)) + ' &middot; ' + ago(lc.ct) + '</div>';
}

// The Sync column: "↑A ↓B" in the text's colour (grey when both are zero);
// figures last fetched more than a week ago (or never) grey and slanted:
// the State cell says when. Empty (and silent) where there is no upstream
// to compare with, a deleted one included (the State cell says so).
function syncCell(r) {
  var ahead = num(r.ahead), behind = num(r.behind);
  if (!r.upstream || r.upstream_gone === true) return '';
  var figures = '\u2191' + ahead + ' \u2193' + behind;
  if (syncStale(r)) return '<span class="stale">' + figures + '</span>';
  return ahead || behind ? figures : '<span class="muted">' + figures + '</span>';
}

// The State cell: the step in words, then the tags that fit.
function stateCellHtml(r) {
  var step = stepText(r);
  return '<div class="cell st">' + (step ? '<div class="step ' + stepClass(r) + '">' + esc(step) + '</div>' : '') +
    '<div class="facts">' + rowTagsHtml(r) + '</div></div>';
}

// The row's accessible name: the repository and its state.
function rowLabel(r, ambiguous) {
  var step = stepText(r) || tagList(r)[0][1];
  return shownName(r, ambiguous) + ', ' + step;
}

// One row of the table for `r`; `ambiguous` from ambiguousNames, `selected`
// the path of the repository open in the drawer. The Path column shows the
// path below the root (the root stands once, in the column's header). The
// name is a button that opens the drawer; a click anywhere on the row does
// too.
function rowHtml(r, ambiguous, selected) {
  var stash = num(r.stash);
  var branch = '';
  if (!r.detached) {
    var tip = str(r.branch) + (r.upstream ? ' \u2192 ' + str(r.upstream) : '');
    branch = '<span class="mo br" title="' + esc(tip) + '">' + esc(r.branch) + '</span>';
  }
  return (
    '<tr class="row' + (selected && r.path === selected ? ' sel' : '') + '" data-p="' + esc(r.path) +
    '" data-q="' + esc(str(r.path_param)) + '">' +
    '<td class="c-repo"><div class="cell"><button type="button" class="name" title="' + esc(r.path) + '" aria-label="' +
    esc(rowLabel(r, ambiguous)) + '">' + esc(shownName(r, ambiguous)) + '</button>' +
    (branch ? '<div class="sub">' + branch + '</div>' : '') + '</div></td>' +
    '<td class="c-state">' + stateCellHtml(r) + '</td>' +
    '<td class="c-root muted mo" title="' + esc(r.path) + '">' + esc(relPath(r)) + '</td>' +
    '<td class="c-sync mo">' + syncCell(r) + '</td>' +
    '<td class="c-stash mo">' + (stash ? stash : '') + '</td>' +
    '<td class="c-last">' + lastCell(r) + '</td>' +
    '</tr>'
  );
}

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
// True while grey placeholder rows stand in the body.
var SKELETON = false;

function spacer() {
  var tr = document.createElement('tr');
  tr.className = 'pad';
  tr.setAttribute('aria-hidden', 'true');
  tr.appendChild(document.createElement('td')).colSpan = 6;
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
  tpl.innerHTML = missing
    .map(function (r) {
      return rowHtml(r, AMBIGUOUS, SELECTED);
    })
    .join('');
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
  var el = PAD_TOP.nextSibling;
  while (el !== PAD_BOTTOM) {
    var next = el.nextSibling;
    if (!keep.has(el)) body.removeChild(el);
    el = next;
  }
  el = PAD_TOP.nextSibling;
  for (var i = 0; i < want.length; i++) {
    var row = ROW_EL.get(want[i]);
    if (row === el) el = el.nextSibling;
    else body.insertBefore(row, el);
    row.classList.toggle('end', start + i === VIEW.length - 1);
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

// Forgets the measured heights, as when the rows change their height.
function forgetHeights() {
  HEIGHT = new Map();
  HEIGHT_WIDTH = window.innerWidth;
}

// The index in VIEW of the row at the top of the table's view (just below
// the sticky header), the share of that row above the header's edge, and
// the edge's place in the window.
function topRow() {
  var head = document.querySelector('thead th');
  var line = head ? Math.max(0, head.getBoundingClientRect().bottom) : 0;
  var offset = line - $('rows').getBoundingClientRect().top, y = 0, i = 0;
  while (i < VIEW.length && y + rowHeight(VIEW[i]) <= offset) y += rowHeight(VIEW[i++]);
  var h = i < VIEW.length ? rowHeight(VIEW[i]) : 1;
  return { index: i, share: Math.max(0, offset - y) / h, line: line };
}

// Switches the row height (compact or not): the heights are measured anew
// and the row at the top of the table's view stays there.
function setRowHeight(compact, guess) {
  var top = topRow();
  document.documentElement.classList.toggle('compact', compact);
  forgetHeights();
  ROW_GUESS = guess;
  if (SKELETON || !PAD_TOP) return;
  renderWindow();
  if (top.index > 0 || top.share > 0) {
    var y = 0;
    for (var i = 0; i < top.index; i++) y += rowHeight(VIEW[i]);
    if (top.index < VIEW.length) y += top.share * rowHeight(VIEW[top.index]);
    window.scrollTo(0, $('rows').getBoundingClientRect().top + window.scrollY + y - top.line);
    renderWindow();
  }
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
  if (window.innerWidth !== HEIGHT_WIDTH) forgetHeights();
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
    '<td class="c-state"><i></i><i class="s"></i></td>' +
    '<td class="c-root"><i></i></td><td class="c-sync"><i class="s"></i></td><td class="c-stash"><i class="s"></i></td>' +
    '<td class="c-last"><i></i><i class="s"></i></td></tr>';
  body.innerHTML = new Array(7).join(row);
  PAD_TOP = PAD_BOTTOM = null;
  SKELETON = true;
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

// Moves the focus from row `tr` by `step` rows of VIEW.
function stepRow(tr, step) {
  for (var i = WIN_START; i < WIN_END; i++) {
    if (ROW_EL.get(VIEW[i]) !== tr) continue;
    var el = revealRow(i + step);
    if (el) focusRow(el);
    return;
  }
}

// Puts the focus on the row's button, without scrolling.
function focusRow(tr) {
  var button = tr.querySelector('button.name');
  if (button) button.focus({ preventScroll: true });
}

function markSelected(path) {
  SELECTED = path;
  ROW_EL.forEach(function (el, r) {
    el.classList.toggle('sel', !!SELECTED && r.path === SELECTED);
  });
}

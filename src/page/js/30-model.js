// The model of a listing, with no document in reach: a repository's state
// tags, the chip and state filters, the search and the sort. Each function
// takes what it needs as arguments, so the tests run them in Node.

// What git could not read in this repository; empty when it read it fine
// (and from a program that does not report it).
function repoError(r) {
  return str(r.error);
}

// The parts of a change count: "2 staged, 1 untracked".
function changeParts(r) {
  var parts = [];
  if (num(r.staged) > 0) parts.push(num(r.staged) + ' staged');
  if (num(r.untracked) > 0) parts.push(num(r.untracked) + ' untracked');
  if (num(r.conflicted) > 0) parts.push(num(r.conflicted) + ' conflicted');
  return parts.join(', ');
}

// The state tags in the order a row shows them. Each has its colour class,
// whether it applies to a repository, its text and its tooltip (none when
// missing). A tag marked `column` says what the table's Sync and Stash
// columns say: rows show it only where those columns are hidden (narrow
// windows); the drawer always shows it. A repository git could not read has
// the error tag alone. A new tag is one more entry here (and its colour
// class in page.css).
var TAGS = [
  { cls: 't-dirty', on: function (r) { return num(r.dirty) > 0; },
    text: function (r) { return num(r.dirty) + ' changed'; }, tip: changeParts },
  { cls: 't-con', on: function (r) { return num(r.conflicted) > 0; },
    text: function (r) { return num(r.conflicted) + ' conflicted'; } },
  { cls: 't-ahead', column: true, on: function (r) { return num(r.ahead) > 0; },
    text: function (r) { return '+' + num(r.ahead); },
    tip: function (r) { return plural(num(r.ahead), 'commit', 'commits') + ' to push'; } },
  { cls: 't-behind', column: true, on: function (r) { return num(r.behind) > 0; },
    text: function (r) { return '-' + num(r.behind); },
    tip: function (r) { return plural(num(r.behind), 'commit', 'commits') + ' to pull'; } },
  { cls: 't-det', on: function (r) { return !!r.detached; }, text: 'detached' },
  { cls: 't-noup', on: function (r) { return !!r.no_upstream && !r.detached; }, text: 'no upstream' },
  { cls: 't-unborn', on: function (r) { return !!r.unborn; }, text: 'unborn' },
  { cls: 't-stash', column: true, on: function (r) { return num(r.stash) > 0; },
    text: function (r) { return num(r.stash) + ' stash'; } },
  { cls: 't-clean', on: function (r) { return num(r.dirty) === 0 && !r.detached && !r.unborn; }, text: 'clean' },
];

function tagPart(tag, part, r) {
  var v = tag[part];
  return typeof v === 'function' ? v(r) : str(v);
}

// A repository's state tags, in order: [colour class, text, tooltip,
// column tag].
function tagList(r) {
  var err = repoError(r);
  if (err) return [['t-err', 'error', err, false]];
  var list = [];
  for (var i = 0; i < TAGS.length; i++)
    if (TAGS[i].on(r)) list.push([TAGS[i].cls, tagPart(TAGS[i], 'text', r), tagPart(TAGS[i], 'tip', r), !!TAGS[i].column]);
  return list;
}

function tagHtml(t, inRow) {
  var cls = 'tag ' + t[0] + (inRow && t[3] ? ' t-col' : '');
  return '<span class="' + cls + '"' + (t[2] ? ' title="' + esc(t[2]) + '"' : '') + '>' + esc(t[1]) + '</span>';
}

// Every tag of `r`, as the drawer shows them.
function tagsHtml(r) {
  return tagList(r)
    .map(function (t) {
      return tagHtml(t, false);
    })
    .join('');
}

// The most tags a row shows beside its column tags; more are summarised in
// one tag that counts them and names them in its tooltip.
var ROW_TAGS_MAX = 3;

// The tags of a table row: the column tags, marked as such, and at most
// ROW_TAGS_MAX others, so that every tag fits or is counted.
function rowTagsHtml(r) {
  var kept = 0, rest = [], h = '';
  tagList(r).forEach(function (t) {
    if (t[3] || kept++ < ROW_TAGS_MAX) h += tagHtml(t, true);
    else rest.push(t[1]);
  });
  if (rest.length) h += tagHtml(['t-more', '+' + rest.length, rest.join(', '), false], true);
  return h;
}

// The chips' filters by their data-filter; "all" passes every repository.
var CHIP_FILTERS = {
  dirty: function (r) { return num(r.dirty) > 0; },
  ahead: function (r) { return num(r.ahead) > 0; },
  behind: function (r) { return num(r.behind) > 0; },
  stash: function (r) { return num(r.stash) > 0; },
};

// The state select's filters by option value; the empty value passes all.
var STATE_FILTERS = {
  dirty: function (r) { return num(r.dirty) > 0; },
  clean: function (r) { return !(num(r.dirty) > 0) && !repoError(r); },
  ahead: function (r) { return num(r.ahead) > 0; },
  behind: function (r) { return num(r.behind) > 0; },
  detached: function (r) { return r.detached === true; },
  noup: function (r) { return r.no_upstream === true; },
  error: function (r) { return !!repoError(r); },
};

// The path below its root, or the whole path when it is not below it.
function relPath(r) {
  var path = str(r.path), root = str(r.root);
  if (!root || path.indexOf(root) !== 0) return path;
  return path.slice(root.length).replace(/^[\/\\]+/, '') || path;
}

// The names that stand more than once in `repos`, as an object's keys.
function ambiguousNames(repos) {
  var seen = {}, twice = {};
  repos.forEach(function (r) {
    var name = str(r && r.name);
    if (seen[name]) twice[name] = true;
    seen[name] = true;
  });
  return twice;
}

// The name a row shows: the path below the root where the name alone would
// not tell two repositories apart (`ambiguous` from ambiguousNames).
function shownName(r, ambiguous) {
  return ambiguous && ambiguous[str(r.name)] ? relPath(r) : str(r.name);
}

// Whether `r` passes the filters of `view`: { chip, state, search,
// ambiguous }. The search looks at what a row shows: its name (or path),
// branch, upstream (the branch's tooltip), error or last commit subject.
function matches(r, view) {
  var chip = CHIP_FILTERS[view.chip], state = STATE_FILTERS[view.state];
  if ((chip && !chip(r)) || (state && !state(r))) return false;
  var search = str(view.search).toLowerCase();
  if (!search) return true;
  var lc = r.last_commit || {};
  var hay = [shownName(r, view.ambiguous), r.detached ? '' : r.branch, r.upstream, repoError(r), lc.subject]
    .map(str).join(' ');
  return hay.toLowerCase().indexOf(search) >= 0;
}

function filtered(list, view) {
  return list.filter(function (r) {
    return matches(r, view);
  });
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
  name: function (a, b, ambiguous) {
    var x = shownName(a, ambiguous).toLowerCase(), y = shownName(b, ambiguous).toLowerCase();
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

// The key of a sort: '' keeps the server's order; a leading '-' reverses.
function sortKey(sort) {
  return str(sort).replace(/^-/, '');
}

// `list` sorted by `sort`; ties keep the server's order.
function sorted(list, sort, ambiguous) {
  var cmp = SORTS[sortKey(sort)];
  if (!cmp) return list;
  var sign = sort.charAt(0) === '-' ? -1 : 1;
  return list.slice().sort(function (a, b) {
    return sign * cmp(a, b, ambiguous);
  });
}

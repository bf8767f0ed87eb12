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

// ---- what needs the user: an operation left half done, an upstream that
// is gone, figures from a fetch long ago ----

// An operation in progress as a tag says it ("rebase in progress on
// feature"); empty when there is none.
var OPERATION_TEXTS = {
  rebase: 'rebase in progress',
  merge: 'merge in progress',
  'cherry-pick': 'cherry-pick in progress',
  revert: 'revert in progress',
  bisect: 'bisecting',
  am: 'am in progress',
};

function operationText(r) {
  var op = str(r.operation);
  if (!op) return '';
  var text = Object.prototype.hasOwnProperty.call(OPERATION_TEXTS, op) ? OPERATION_TEXTS[op] : op + ' in progress';
  if (op === 'rebase' && str(r.operation_branch)) text += ' on ' + str(r.operation_branch);
  return text;
}

// What to do about it, for the operation tag's tooltip.
function operationTip(r) {
  var op = str(r.operation);
  if (op === 'bisect') return 'A bisect is running: finish it with git bisect reset';
  return 'git stopped in the middle of a ' + op + ': continue it or abort it (git ' + op + ' --continue / --abort)';
}

// A whole age in words: "12 days ago", "1 hour ago", "just now".
var LONG_AGE_STEPS = [
  [3600, 60, 'minute'],
  [86400, 3600, 'hour'],
  [2592000, 86400, 'day'],
  [31536000, 2592000, 'month'],
];

function longAgo(t) {
  var s = Math.floor(Date.now() / 1000) - t;
  if (!(s >= 60)) return 'just now';
  for (var i = 0; i < LONG_AGE_STEPS.length; i++)
    if (s < LONG_AGE_STEPS[i][0]) {
      var n = Math.floor(s / LONG_AGE_STEPS[i][1]);
      return plural(n, LONG_AGE_STEPS[i][2], LONG_AGE_STEPS[i][2] + 's') + ' ago';
    }
  var y = Math.floor(s / 31536000);
  return plural(y, 'year', 'years') + ' ago';
}

// Whether the listing says when the remote was last fetched (a program
// that does not report it: nothing is said, nothing is judged).
function fetchKnown(r) {
  return typeof r.fetched_at === 'number';
}

// "fetched 12 days ago" or "never fetched"; empty when not known.
function fetchedText(r) {
  if (!fetchKnown(r)) return '';
  return r.fetched_at > 0 ? 'fetched ' + longAgo(r.fetched_at) : 'never fetched';
}

// Ahead and behind figures older than this many seconds are stale.
var STALE_AFTER = 7 * 86400;

// Whether the ahead and behind figures are stale: there is an upstream to
// compare with, and it was fetched more than a week ago, or never.
function syncStale(r) {
  if (!r.upstream || r.upstream_gone === true || !fetchKnown(r)) return false;
  return !(r.fetched_at > 0) || Math.floor(Date.now() / 1000) - r.fetched_at > STALE_AFTER;
}

// A tooltip of the ahead and behind figures, with their age.
function syncTip(text, r) {
  var when = fetchedText(r);
  return when ? text + ', as of the last fetch (' + when + ')' : text;
}

// The short age of a stale figure, as the Sync column shows it.
function staleText(r) {
  return r.fetched_at > 0 ? ago(r.fetched_at).replace(' ago', ' old') : 'never fetched';
}

// The repositories that need the user before anything else: git could not
// read it, an operation is in progress, files are in conflict, or the
// upstream is gone.
function needsYou(r) {
  return !!repoError(r) || !!str(r.operation) || num(r.conflicted) > 0 || r.upstream_gone === true;
}

// ---- work that exists only on this machine (as of the last fetch: the
// remote-tracking branches are what this machine knows of its remotes) ----

// "3 unpushed on 2 branches".
function unpushedText(r) {
  return num(r.unpushed) + ' unpushed on ' + plural(num(r.unpushed_branches), 'branch', 'branches');
}

// Local branches whose upstream is gone, beyond the checked-out one that
// the "gone" tag tells alone.
function goneBranches(r) {
  return num(r.gone_branches) > (r.upstream_gone === true ? 1 : 0);
}

// Whether the repository holds work that exists only here: uncommitted
// changes or untracked files, stashes, unpushed commits, or no remote.
function onlyHere(r) {
  if (repoError(r)) return false;
  return num(r.dirty) > 0 || num(r.stash) > 0 || num(r.unpushed) > 0 || r.no_remote === true;
}

// What exists only here, in words, for the view's rows: "2 changed, 1 stash,
// 3 unpushed on 2 branches"; empty when nothing.
function onlyHereText(r) {
  if (!onlyHere(r)) return '';
  var parts = [];
  if (num(r.dirty) > 0) parts.push(num(r.dirty) + ' changed');
  if (num(r.stash) > 0) parts.push(plural(num(r.stash), 'stash', 'stashes'));
  if (r.no_remote === true) parts.push('no remote');
  else if (num(r.unpushed) > 0) parts.push(unpushedText(r));
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
  { cls: 't-op', on: function (r) { return !!str(r.operation); }, text: operationText, tip: operationTip },
  { cls: 't-dirty', on: function (r) { return num(r.dirty) > 0; },
    text: function (r) { return num(r.dirty) + ' changed'; }, tip: changeParts },
  { cls: 't-con', on: function (r) { return num(r.conflicted) > 0; },
    text: function (r) { return num(r.conflicted) + ' conflicted'; } },
  { cls: 't-gone', on: function (r) { return r.upstream_gone === true; }, text: 'gone',
    tip: function (r) { return 'The upstream ' + str(r.upstream) + ' is gone: deleted on the remote'; } },
  { cls: 't-noremote', on: function (r) { return r.no_remote === true; }, text: 'no remote',
    tip: 'No remote-tracking branch: everything in this repository exists only here' },
  { cls: 't-unpushed', on: function (r) { return num(r.unpushed) > 0 && r.no_remote !== true; }, text: unpushedText,
    tip: 'Commits on local branches that no remote-tracking branch holds, as of the last fetch' },
  { cls: 't-gonebr', on: goneBranches,
    text: function (r) { return plural(num(r.gone_branches), 'gone branch', 'gone branches'); },
    tip: 'Local branches whose upstream was deleted on the remote' },
  { cls: 't-ahead', column: true, on: function (r) { return num(r.ahead) > 0; },
    text: function (r) { return '+' + num(r.ahead); },
    tip: function (r) { return syncTip(plural(num(r.ahead), 'commit', 'commits') + ' to push', r); } },
  { cls: 't-behind', column: true, on: function (r) { return num(r.behind) > 0; },
    text: function (r) { return '-' + num(r.behind); },
    tip: function (r) { return syncTip(plural(num(r.behind), 'commit', 'commits') + ' to pull', r); } },
  { cls: 't-stale', column: true, on: syncStale, text: staleText,
    tip: function (r) { return syncTip('Ahead and behind may be out of date', r); } },
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
  needs: needsYou,
  here: onlyHere,
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
  operation: function (r) { return !!str(r.operation); },
  gone: function (r) { return r.upstream_gone === true; },
  stale: syncStale,
  unpushed: function (r) { return num(r.unpushed) > 0 && r.no_remote !== true; },
  noremote: function (r) { return r.no_remote === true; },
  gonebr: function (r) { return num(r.gone_branches) > 0; },
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

// How pressing a row's state is: errors first, then an operation in
// progress, conflicts, changes, a gone upstream; clean last.
function stateRank(r) {
  if (repoError(r)) return 0;
  if (str(r.operation)) return 1;
  if (num(r.conflicted) > 0) return 2;
  if (num(r.dirty) > 0) return 3;
  if (r.upstream_gone === true) return 4;
  if (num(r.behind) > 0) return 5;
  if (num(r.ahead) > 0) return 6;
  if (r.detached) return 7;
  if (num(r.stash) > 0) return 8;
  if (r.unborn || r.no_upstream) return 9;
  return 10;
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

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

// An operation in progress as a tag says it ("rebasing topic", "merging");
// empty when there is none.
var OPERATION_TEXTS = {
  rebase: 'rebasing',
  merge: 'merging',
  'cherry-pick': 'cherry-picking',
  revert: 'reverting',
  bisect: 'bisecting',
  am: 'applying patches',
};

function operationText(r) {
  var op = str(r.operation);
  if (!op) return '';
  var text = Object.prototype.hasOwnProperty.call(OPERATION_TEXTS, op) ? OPERATION_TEXTS[op] : op + ' in progress';
  if (op === 'rebase' && str(r.operation_branch)) text += ' ' + str(r.operation_branch);
  return text;
}

// The operation as the drawer says it first: "rebasing topic, stopped at a
// conflict"; empty when there is none.
function operationLine(r) {
  var text = operationText(r), n = num(r.conflicted);
  if (!text || str(r.operation) === 'bisect') return text;
  return text + ', stopped ' + (n > 0 ? 'at ' + (n === 1 ? 'a conflict' : n + ' conflicts') : 'half way');
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

// "fetched 12 days ago" or "never fetched", said only where there is an
// upstream to fetch from; empty otherwise.
function fetchedText(r) {
  if (!fetchKnown(r) || !r.upstream || r.upstream_gone === true) return '';
  return r.fetched_at > 0 ? 'fetched ' + longAgo(r.fetched_at) : 'never fetched';
}

// Ahead and behind figures older than this many seconds are stale (the
// program's own threshold: a listing's "stale" state says the same).
var STALE_AFTER = 7 * 86400;

// Whether the ahead and behind figures are stale: there is an upstream to
// compare with, and it was fetched more than a week ago, or never.
function syncStale(r) {
  if (!r.upstream || r.upstream_gone === true || !fetchKnown(r)) return false;
  return !(r.fetched_at > 0) || Math.floor(Date.now() / 1000) - r.fetched_at > STALE_AFTER;
}

// The repositories that need the user before anything else, as the program
// decides them (the listing's needs_you: git cannot read it, an operation
// stopped half way, conflicts, an upstream deleted).
function needsYou(r) {
  return r.needs_you === true;
}

// The step the repository asks for, in the program's words ("Resolve 1
// conflict, then git rebase --continue"); empty from a program that does
// not say it.
function stepText(r) {
  return str(r.step);
}

// How the step is coloured: what needs the user, work kept only here, the
// rest.
function stepClass(r) {
  if (needsYou(r)) return 's-need';
  var state = str(r.state);
  return state === 'changes' || state === 'unpushed' || state === 'no_remote' ? 's-work' : 's-calm';
}

// Whether an operation keeps HEAD detached while it runs (a rebase, git am):
// then "detached" says nothing the operation's tag does not.
function operationDetaches(r) {
  var op = str(r.operation);
  return op === 'rebase' || op === 'am';
}

// ---- work that exists only on this machine (as of the last fetch: the
// remote-tracking branches are what this machine knows of its remotes) ----

// "3 unpushed on 2 branches".
function unpushedText(r) {
  return num(r.unpushed) + ' unpushed on ' + plural(num(r.unpushed_branches), 'branch', 'branches');
}

// Whether the unpushed commits tell more than the branch's own ahead count:
// other branches hold some (or the branch has no upstream to be ahead of).
function unpushedBeyondAhead(r) {
  if (r.no_remote === true || !(num(r.unpushed) > 0)) return false;
  return num(r.unpushed) !== num(r.ahead) || num(r.unpushed_branches) > 1;
}

// Local branches whose upstream is gone, beyond the checked-out one that
// the "upstream gone" tag tells alone.
function goneBranches(r) {
  return num(r.gone_branches) > (r.upstream_gone === true ? 1 : 0);
}

// Whether the repository holds work that exists only here: uncommitted
// changes or untracked files, stashes, unpushed commits, or no remote; also
// one git could not read (nothing tells that it holds none).
function onlyHere(r) {
  if (repoError(r)) return true;
  return num(r.dirty) > 0 || num(r.stash) > 0 || num(r.unpushed) > 0 || r.no_remote === true;
}

// The facts of a repository as tags, each with its colour class, the state
// of the program's vocabulary it belongs to, whether it applies, and its
// text. A tag marked `column` says what the table's Sync and Stash columns
// say: rows show it only where those columns are hidden (narrow windows);
// the drawer always shows it. A repository git could not read has the
// unreadable tag alone. A new tag is one more entry here (and its colour
// class in page.css).
var TAGS = [
  { state: 'operation', cls: 't-op', on: function (r) { return !!str(r.operation); }, text: operationText },
  { state: 'conflicts', cls: 't-con', on: function (r) { return num(r.conflicted) > 0; },
    text: function (r) { return num(r.conflicted) + ' conflicted'; } },
  { state: 'gone', cls: 't-gone', on: function (r) { return r.upstream_gone === true; }, text: 'upstream gone' },
  { cls: 't-gonebr', on: goneBranches,
    text: function (r) { return plural(num(r.gone_branches), 'gone branch', 'gone branches'); } },
  { state: 'changes', cls: 't-dirty', on: function (r) { return num(r.dirty) > 0; },
    text: function (r) { return num(r.dirty) + ' changed'; } },
  { state: 'unpushed', cls: 't-ahead', column: true, on: function (r) { return num(r.ahead) > 0; },
    text: function (r) { return '\u2191' + num(r.ahead) + ' to push'; } },
  { state: 'unpushed', cls: 't-unpushed', on: unpushedBeyondAhead, text: unpushedText },
  { state: 'behind', cls: 't-behind', column: true, on: function (r) { return num(r.behind) > 0; },
    text: function (r) { return '\u2193' + num(r.behind) + ' to pull'; } },
  { state: 'no_remote', cls: 't-noup', on: function (r) { return r.no_remote === true; }, text: 'no remote' },
  { state: 'stale', cls: 't-stale', on: syncStale, text: fetchedText },
  { state: 'detached', cls: 't-det', on: function (r) { return !!r.detached && !operationDetaches(r); }, text: 'detached' },
  { state: 'stashed', cls: 't-stash', column: true, on: function (r) { return num(r.stash) > 0; },
    text: function (r) { return plural(num(r.stash), 'stash', 'stashes'); } },
  { state: 'unborn', cls: 't-unborn', on: function (r) { return !!r.unborn; }, text: 'no commits' },
  { state: 'no_upstream', cls: 't-noup', on: function (r) { return !!r.no_upstream && !r.detached && r.no_remote !== true; },
    text: 'no upstream' },
  // What git could not tell, in its first words ("renames not detected");
  // the drawer has the whole line.
  { cls: 't-stale', on: function (r) { return !!str(r.notice); },
    text: function (r) { return str(r.notice).split(':')[0]; } },
];

function tagPart(tag, part, r) {
  var v = tag[part];
  return typeof v === 'function' ? v(r) : str(v);
}

// A repository's tags: [colour class, text, column tag], the tag of its
// state (the listing's `state`) first, then the others in their order;
// "clean" only where no other tag applies.
function tagList(r) {
  if (repoError(r)) return [['t-err', 'unreadable', false]];
  var first = [], rest = [], state = str(r.state);
  for (var i = 0; i < TAGS.length; i++) {
    if (!TAGS[i].on(r)) continue;
    var t = [TAGS[i].cls, tagPart(TAGS[i], 'text', r), !!TAGS[i].column];
    if (TAGS[i].state === state && !first.length) first.push(t);
    else rest.push(t);
  }
  var list = first.concat(rest);
  return list.length ? list : [['t-clean', 'clean', false]];
}

function tagHtml(t, extra) {
  return '<span class="tag ' + t[0] + (extra ? ' ' + extra : '') + '">' + esc(t[1]) + '</span>';
}

// Every tag of `r`, as the drawer shows them.
function tagsHtml(r) {
  return tagList(r)
    .map(function (t) {
      return tagHtml(t);
    })
    .join('');
}

// "+N" for the tags `hidden`, naming them: the names stand beside it on
// hover and focus (and are read with it).
function moreHtml(hidden, cls) {
  if (!hidden.length) return '';
  var names = hidden.map(function (t) {
    return t[1];
  });
  return '<span class="more ' + cls + '">+' + hidden.length + '<span class="more-list"> ' + esc(names.join(', ')) +
    '</span></span>';
}

// The tags of a row's State cell, kept to what fits: in wide windows
// (Sync and Stash shown) the state's tag and one more, in narrow ones and
// in compact rows the state's tag alone; each time a "+N" names the rest.
// Both sets stand in the cell; the style shows the one that applies.
function rowTagsHtml(r) {
  var all = tagList(r);
  var wide = all.filter(function (t, i) {
    return i === 0 || !t[2];
  });
  return '<span class="tags tw">' + tagHtml(wide[0]) + (wide[1] ? tagHtml(wide[1], 'x') : '') +
    moreHtml(wide.slice(1), 'mc') + moreHtml(wide.slice(2), 'mf') + '</span>' +
    '<span class="tags tn">' + tagHtml(all[0]) + moreHtml(all.slice(1), 'mn') + '</span>';
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

// How pressing a row's state is, as the program ranks it (0 first); a
// listing that does not say it ranks last.
function stateRank(r) {
  var rank = Number(r.state_rank);
  return isFinite(rank) && r.state_rank !== null ? rank : 99;
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

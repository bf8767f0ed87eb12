// The drawer: one repository's detail, as a modal dialog.

// Counts drawer openings and closings, so that a late detail answer never
// replaces what a later opening or a closing put in the drawer.
var DETAIL_SEQ = 0;

function codeClass(c) {
  c = str(c);
  if (c === '??' || c === '!!') return 'c-unt';
  if (c === 'UU' || c === 'AA' || c === 'DD') return 'c-con';
  if (c.indexOf('A') >= 0) return 'c-add';
  if (c.indexOf('D') >= 0) return 'c-del';
  return 'c-mod';
}

var UNKNOWN_HTML = '<div class="muted">Not known: git could not read this repository.</div>';

// What the drawer says of the upstream and the last fetch: when it was
// fetched (muted as stale after a week), and an upstream that is gone.
function fetchNoteHtml(r) {
  var h = '';
  if (r.upstream_gone === true)
    h += '<div class="note gone">The upstream <span class="mo">' + esc(r.upstream) + '</span> was deleted on the remote.</div>';
  var when = fetchedText(r);
  if (when)
    h += '<div class="note fetched' + (syncStale(r) ? ' stale' : '') + '">' + esc(when) +
      (syncStale(r) ? ': ahead and behind may be out of date' : '') + '</div>';
  return h;
}

// Ahead and behind of a branch against its upstream, as the rows say them:
// "↑2 ↓1", "upstream gone", or "in sync"; empty without an upstream.
function branchSyncText(b) {
  if (!str(b.upstream)) return '';
  if (b.gone === true) return 'upstream gone';
  var parts = [];
  if (num(b.ahead) > 0) parts.push('\u2191' + num(b.ahead));
  if (num(b.behind) > 0) parts.push('\u2193' + num(b.behind));
  return parts.length ? parts.join(' ') : 'in sync';
}

// Every local branch: its upstream and how far from it, its commits on no
// remote-tracking branch, its last commit. The checked-out branch comes
// first and is marked.
function branchesHtml(d, r) {
  var branches = Array.isArray(d.branches) ? d.branches : null;
  if (!branches) return '';
  var h = '<div class="dsec" id="branchesHead">Branches (' + branches.length + ')</div>';
  if (repoError(r)) return h + UNKNOWN_HTML;
  if (!branches.length) return h + '<div class="muted">No branches yet.</div>';
  if (r.no_remote === true)
    h += '<div class="note">No remote: every commit here exists only on this machine.</div>';
  h += '<table class="btable" aria-labelledby="branchesHead"><thead><tr><th scope="col">Branch</th><th scope="col">Upstream</th>' +
    '<th scope="col">Sync</th><th scope="col">Unpushed</th><th scope="col">Last commit</th></tr></thead><tbody>';
  branches.forEach(function (b) {
    b = b || {};
    var lc = b.last_commit || {};
    var current = !r.detached && str(b.name) === str(r.branch);
    h += '<tr' + (current ? ' class="cur"' : '') + '><td class="n">' + esc(b.name) +
      (current ? ' <span class="sr-only">(checked out)</span><span aria-hidden="true">*</span>' : '') + '</td>';
    h += '<td class="n">' + (str(b.upstream) ? esc(b.upstream) : '-') + '</td>';
    h += '<td class="num">' + (esc(branchSyncText(b)) || '-') + '</td>';
    h += '<td class="num">' + (num(b.unpushed) > 0 ? num(b.unpushed) : '-') + '</td>';
    h += '<td><span class="mo">' + esc(str(lc.hash).slice(0, 8)) + '</span> ' + ago(lc.ct) +
      '<span class="s">' + esc(lc.subject) + '</span></td></tr>';
  });
  return h + '</tbody></table>';
}

function detailHtml(d) {
  var r = d.repo || {};
  var lc = r.last_commit || {};
  var err = repoError(r);
  var changed = Array.isArray(d.changed) ? d.changed : [];
  var commits = Array.isArray(d.commits) ? d.commits : [];
  // First what to do, and the operation under way.
  var h = '';
  if (stepText(r)) h += '<div class="dstep ' + stepClass(r) + '">' + esc(stepText(r)) + '</div>';
  if (operationLine(r)) h += '<div class="dop">' + esc(operationLine(r)) + '</div>';
  h += '<div class="dsec">Repository</div>';
  h += '<div class="mo" style="font-size:12px;word-break:break-all">' + esc(r.path) + '</div>';
  h += '<div class="dact"><button type="button" class="icon-btn" id="copyPath">Copy path</button>' +
    '<span class="muted" id="copyStatus" role="status"></span></div>';
  h += '<div style="margin-top:8px">' + tagsHtml(r) + '</div>';
  if (err) h += '<div class="err">' + esc(err) + '</div>';
  // What git could not tell of a readable repository, whole.
  if (str(r.notice)) h += '<div class="note">' + esc(r.notice) + '</div>';
  if (changeParts(r)) h += '<div class="note">' + esc(num(r.dirty) + ' changed: ' + changeParts(r)) + '</div>';
  // During a rebase HEAD is detached: the branch line names the branch
  // being rebased instead.
  var branch = r.detached && operationDetaches(r) && str(r.operation_branch) ? str(r.operation_branch) : str(r.branch);
  if (!err) {
    h += '<div class="note">branch <span class="mo">' + (branch ? esc(branch) : '-') + '</span>';
    if (r.upstream) h += ' &rarr; <span class="mo">' + esc(r.upstream) + '</span>';
    h += '</div>';
  }
  h += '<div class="note">remote <span class="mo">' + (r.remote ? esc(r.remote) : '-') + '</span></div>';
  if (!err) h += fetchNoteHtml(r);

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
  h += branchesHtml(d, r);
  return h;
}

// The drawer's title: the last component of the path.
function lastComponent(path) {
  var parts = path.split(/[\/\\]/);
  return parts[parts.length - 1] || path;
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
  var btn = $('copyPath');
  if (!btn) return;
  btn.addEventListener('click', function () {
    copyText(path).then(
      function () {
        setText('copyStatus', 'Copied.');
      },
      function () {
        setText('copyStatus', 'Could not copy; select the path above.');
      },
    );
  });
}

function drawerOpen() {
  return $('drawer').classList.contains('open');
}

// The detail call's path value for `path`. `param`, the listing's
// path_param, is the path's own bytes encoded for the query: where a name is
// not UTF-8, `path` reads U+FFFD and only `param` names the folder. Other
// paths are sent as they always were.
function pathValue(path, param) {
  return param && path.indexOf('\uFFFD') >= 0 ? param : encodeURIComponent(path);
}

// Opens the drawer for the repository at `path` (`param` as pathValue
// takes it).
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
  setText('drawerTitle', lastComponent(path));
  var body = $('drawerBody');
  body.innerHTML = '<div class="muted">Loading\u2026</div>';
  var close = $('drawerClose');
  if (close && close.focus) close.focus();
  api('repo', 'path=' + pathValue(path, param))
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

function closeDetail() {
  var wasOpen = drawerOpen();
  var path = SELECTED;
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
    if (row) focusRow(row);
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

'use strict';
// Real git repositories in a temporary folder, made with the real git. Each
// repository is described by a small object; commit times are set relative to
// now, so the page's ages and the server's order are known in advance.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const NOW = Math.floor(Date.now() / 1000);
const MIN = 60;
const HOUR = 3600;
const DAY = 86400;

function tempBase(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// git with a fixed identity, no user or system configuration, and commit
// times from `when` (seconds since 1970).
function git(cwd, args, when) {
  const env = {
    PATH: process.env.PATH,
    HOME: cwd,
    GIT_CONFIG_NOSYSTEM: '1',
    GIT_CONFIG_GLOBAL: '/dev/null',
    GIT_AUTHOR_NAME: 'Ada Tester',
    GIT_AUTHOR_EMAIL: 'ada@example.com',
    GIT_COMMITTER_NAME: 'Ada Tester',
    GIT_COMMITTER_EMAIL: 'ada@example.com',
  };
  if (when) env.GIT_AUTHOR_DATE = env.GIT_COMMITTER_DATE = `@${when} +0000`;
  return execFileSync('git', args, { cwd, env, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
}

function write(file, text) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, text);
}

function commit(dir, subject, when, file = 'notes.txt') {
  fs.appendFileSync(path.join(dir, file), `${subject}\n`);
  git(dir, ['add', '-A']);
  git(dir, ['commit', '-q', '-m', subject], when);
}

// Makes one repository `name` below `root`. Its description's fields:
//   subject / age: the last commit and how old it is (no subject: unborn)
//   upstream: clone it from a bare remote of that name in `remotes`, so that
//     main tracks origin/main
//   ahead: local commits not pushed, the last one being `subject`
//   behind: commits that reach the remote from elsewhere and are fetched
//   detached: check out the last commit itself
//   stash: stash entries to leave; dirty: files to modify, stage and add
//   untracked: number of untracked files
//   conflict: leave a merge stopped on one conflicting file (both added)
function makeRepo(root, remotes, name, desc) {
  const dir = path.join(root, name);
  const when = NOW - (desc.age || 0);
  const ahead = desc.ahead || 0;
  if (desc.upstream) {
    // Without local commits the last commit is the pushed one.
    const bare = path.join(remotes, `${desc.upstream}.git`);
    git(remotes, ['init', '-q', '--bare', '-b', 'main', bare]);
    const seed = path.join(remotes, `${desc.upstream}-seed`);
    git(remotes, ['init', '-q', '-b', 'main', seed]);
    if (ahead) commit(seed, 'Initial import', when - DAY);
    else commit(seed, desc.subject, when);
    git(seed, ['push', '-q', bare, 'main']);
    git(root, ['clone', '-q', bare, dir]);
    for (let i = 0; i < (desc.behind || 0); i++) commit(seed, `Remote change ${i + 1}`, when + MIN);
    if (desc.behind) {
      git(seed, ['push', '-q', bare, 'main']);
      git(dir, ['fetch', '-q']);
    }
  } else {
    git(root, ['init', '-q', '-b', 'main', dir]);
  }
  if (!desc.upstream || ahead) {
    for (let i = 0; i < ahead - 1; i++) commit(dir, `Local work ${i + 1}`, when - MIN);
    if (desc.subject) commit(dir, desc.subject, when);
  }
  if (desc.conflict) {
    git(dir, ['checkout', '-q', '-b', 'other']);
    commit(dir, 'The other side', when, 'clash.txt');
    git(dir, ['checkout', '-q', 'main']);
    commit(dir, desc.subject, when, 'clash.txt');
    try {
      git(dir, ['merge', '-q', 'other'], when);
    } catch (e) {
      // The merge stops on the conflict: that is the point.
    }
  }
  if (desc.detached) git(dir, ['checkout', '-q', '--detach', 'HEAD']);
  for (let i = 0; i < (desc.stash || 0); i++) {
    fs.appendFileSync(path.join(dir, 'notes.txt'), `stashed ${i}\n`);
    git(dir, ['stash', '-q'], when);
  }
  for (let i = 0; i < (desc.dirty || 0); i++) {
    if (i === 0) fs.appendFileSync(path.join(dir, 'notes.txt'), 'edited\n');
    else if (i === 1) {
      write(path.join(dir, 'staged.txt'), 'staged\n');
      git(dir, ['add', 'staged.txt']);
    } else write(path.join(dir, `new-${i}.txt`), 'new\n');
  }
  for (let i = 0; i < (desc.untracked || 0); i++)
    write(path.join(dir, `file-${String(i).padStart(4, '0')}.txt`), `${i}\n`);
  return dir;
}

// The repositories most tests use, in the order the server lists them:
// dirty ones first (more changes first), then newer last commit first.
const STANDARD = [
  ['bulk', { subject: 'Generate fixtures', age: 5 * MIN, untracked: 742 }],
  ['beta', { upstream: 'beta-origin', subject: 'Fix flaky Widget sync', age: 3 * DAY, behind: 1, dirty: 3 }],
  ['alpha', { upstream: 'alpha-origin', subject: 'Add parser tests', age: 2 * HOUR, ahead: 2, stash: 1 }],
  ['gamma', { subject: 'Tag the old release', age: 40 * DAY, detached: true }],
  ['delta', { subject: 'Write notes', age: 400 * DAY, stash: 2 }],
  ['empty', {}],
];

// Makes the repositories of `list` ([name, desc] pairs) below <base>/roots/code and returns the
// folders and the environment that points the program at them.
function buildFixture(list, prefix = 'quarlo-browser-') {
  const base = tempBase(prefix);
  const root = path.join(base, 'roots', 'code');
  const remotes = path.join(base, 'remotes');
  const home = path.join(base, 'home');
  for (const d of [root, remotes, home]) fs.mkdirSync(d, { recursive: true });
  const repos = {};
  for (const [name, desc] of list) repos[name] = makeRepo(root, remotes, name, desc);
  return {
    base,
    root,
    repos,
    // A second root that does not exist: listed by the server, not counted by the pill.
    env: { QUARLO_ONLY_ROOTS: '1', QUARLO_ROOTS: `${root}:${path.join(base, 'missing')}`, HOME: home },
    remove() {
      fs.rmSync(base, { recursive: true, force: true });
    },
  };
}

// Commits `text` as `file` in `dir` at the time `when`.
function commitFile(dir, file, text, subject, when) {
  fs.writeFileSync(path.join(dir, file), text);
  git(dir, ['add', '-A']);
  git(dir, ['commit', '-q', '-m', subject], when);
}

// Dates the last fetch of the working copy `dir` at `when`.
function fetchedAt(dir, when) {
  fs.utimesSync(path.join(dir, '.git', 'FETCH_HEAD'), when, when);
}

// Gives `repo` a branch `feature` whose upstream is gone: a commit at
// `when`, pushed with -u to its origin (the bare repository `bare`),
// deleted there, then pruned by a fetch.
function goneFeatureBranch(repo, bare, when) {
  git(repo, ['checkout', '-q', '-b', 'feature']);
  commitFile(repo, 'feature.txt', 'f\n', 'Feature', when);
  git(repo, ['push', '-q', '-u', 'origin', 'feature']);
  git(bare, ['branch', '-q', '-D', 'feature']);
  git(repo, ['fetch', '-q', '--prune']);
}

// Leaves `repo` in a rebase of a branch `topic` onto main, stopped on a
// conflict in clash.txt (both commits at `when`).
function stoppedRebase(repo, when) {
  git(repo, ['checkout', '-q', '-b', 'topic']);
  commitFile(repo, 'clash.txt', 'topic\n', 'Topic', when);
  git(repo, ['checkout', '-q', 'main']);
  commitFile(repo, 'clash.txt', 'main\n', 'Main', when);
  git(repo, ['checkout', '-q', 'topic']);
  let stopped = false;
  try {
    git(repo, ['rebase', 'main']);
  } catch (e) {
    stopped = true;
  }
  if (!stopped) throw new Error(`the rebase in ${repo} did not stop`);
}

module.exports = {
  NOW, MIN, HOUR, DAY, STANDARD, buildFixture, makeRepo, git, tempBase, commitFile, fetchedAt,
  goneFeatureBranch, stoppedRebase,
};

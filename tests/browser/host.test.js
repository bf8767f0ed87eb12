'use strict';
// The host: both route forms, the request headers and its own environment
// passed to the program, the CGI head turned into the HTTP answer, clear
// answers when the program fails, one log line per request, and no program
// left running when it stops.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { buildFixture, tempBase } = require('./lib/fixtures');
const { startHost, waitFor, processGone } = require('./lib/host');

const PASSWORD = 'tide pool';

let fx, host;

before(async () => {
  fx = buildFixture([
    ['app', { subject: 'Start', age: 3600, dirty: 1 }],
    ['lib', { subject: 'Start', age: 7200 }],
  ]);
  host = await startHost({ env: { ...fx.env, BOT_PASSWORD: PASSWORD } });
});

after(async () => {
  if (host) await host.stop();
  if (fx) fx.remove();
});

const auth = { 'X-Bot-Password': PASSWORD };

function withoutTime(listing) {
  return { ...listing, checked_at: null };
}

test('both route forms reach the program with its query string', async () => {
  const direct = await fetch(`${host.url}?action=repos`, { headers: auth });
  const proxied = await fetch(`${host.origin}/plugins?plugin=quarlo?action=repos`, { headers: auth });
  assert.equal(direct.status, 200);
  assert.equal(proxied.status, 200);
  assert.equal(direct.headers.get('content-type'), 'application/json; charset=utf-8');
  const a = await direct.json();
  const b = await proxied.json();
  assert.deepEqual(withoutTime(a), withoutTime(b));
  // The host's own environment configures the program: its roots are the fixture's.
  assert.equal(a.roots[0].root, fx.root);
  assert.deepEqual(a.repos.map((r) => r.name), ['app', 'lib']);

  // The proxied page request: the rest after "plugin=quarlo&" is the program's query.
  const pageRes = await fetch(`${host.origin}/plugins?plugin=quarlo&node=n1&pwd=${encodeURIComponent(PASSWORD)}`);
  assert.equal(pageRes.status, 200);
  assert.match(pageRes.headers.get('content-type'), /^text\/html/);
  // The same through a POST: no action, so the listing.
  const post = await fetch(`${host.url}?x=1`, { method: 'POST', headers: auth, body: '' });
  assert.equal((await post.json()).action, 'repos');
});

test('the password headers reach the program', async () => {
  const cases = [
    [{ 'X-Bot-Password': PASSWORD }, 200],
    [{ Authorization: `Bearer ${PASSWORD}` }, 200],
    [{ Authorization: `bearer ${PASSWORD}` }, 401],
    [{ 'X-Bot-Password': 'tide' }, 401],
    [{}, 401],
  ];
  for (const [headers, status] of cases) {
    const res = await fetch(`${host.url}?action=repos`, { headers });
    assert.equal(res.status, status, JSON.stringify(headers));
    await res.arrayBuffer();
  }
});

test("the program's Status line becomes the HTTP status", async () => {
  const cases = [
    ['?action=repo&path=%2Fetc', 403, 'path not in an allowlisted root'],
    ['?action=fetch&path=x', 400, 'fetch is POST only'],
    ['?action=nothing', 200, 'unknown action'],
  ];
  for (const [query, status, error] of cases) {
    const res = await fetch(host.url + query, { headers: auth });
    assert.equal(res.status, status, query);
    assert.equal((await res.json()).error, error);
  }
});

test('/ redirects to the plugin; other paths and plugins are not found', async () => {
  const cases = [
    ['/', 302, '/plugin_quarlo'],
    ['/?theme=light', 302, '/plugin_quarlo?theme=light'],
    ['/favicon.ico', 404, null],
    ['/plugins?plugin=other?action=repos', 404, null],
    ['/plugins?x=1', 404, null],
  ];
  for (const [target, status, location] of cases) {
    const res = await fetch(host.origin + target, { redirect: 'manual', headers: auth });
    assert.equal(res.status, status, target);
    assert.equal(res.headers.get('location'), location, target);
    await res.arrayBuffer();
  }
});

test('a failing program gets a clear 502 or 504', async () => {
  const dir = tempBase('quarlo-host-standin-');
  // Stand-in CGI programs, for the failures the real program never shows.
  const programs = {
    'no-head.sh': 'printf "just text, no head"',
    'no-empty-line.sh': 'printf "Content-Type: text/plain\\r\\n"',
    'bad-line.sh': 'printf "Content-Type: text/plain\\r\\nnot a header\\r\\n\\r\\nbody"',
    'bad-status.sh': 'printf "Status: abc\\r\\n\\r\\nbody"',
    'exit-3.sh': 'printf "Content-Type: text/plain\\r\\n\\r\\nbody"; exit 3',
    'killed.sh': 'kill -9 $$',
    'teapot.sh': 'printf "Status: 418 Short and stout\\nContent-Type: text/plain\\nX-Extra: kept\\n\\nbody\\n"',
    'slow.sh': 'sleep 30',
  };
  for (const [name, body] of Object.entries(programs)) {
    fs.writeFileSync(path.join(dir, name), `#!/bin/sh\n${body}\n`, { mode: 0o755 });
  }
  const cases = [
    ['missing-program', 502, /could not start .*missing-program/],
    ['no-head.sh', 502, /no valid CGI head/],
    ['no-empty-line.sh', 502, /no valid CGI head/],
    ['bad-line.sh', 502, /no valid CGI head/],
    ['bad-status.sh', 502, /no valid CGI head/],
    ['exit-3.sh', 502, /exited with status 3/],
    ['killed.sh', 502, /ended by signal 9/],
    ['teapot.sh', 418, /^body$/],
    ['slow.sh', 504, /ran longer than 1 s/],
  ];
  try {
    for (const [name, status, text] of cases) {
      const h = await startHost({ args: ['--program', path.join(dir, name), '--timeout', '1'] });
      try {
        const started = Date.now();
        const res = await fetch(`${h.url}?action=repos`);
        assert.equal(res.status, status, name);
        assert.match((await res.text()).trim(), text, name);
        if (name === 'teapot.sh') assert.equal(res.headers.get('x-extra'), 'kept');
        if (name === 'slow.sh') assert.ok(Date.now() - started < 10000, 'the time limit ended the request');
        assert.ok(await h.logLine(new RegExp(`^GET /plugin_quarlo\\?action=repos ${status} \\d+ms$`)), name);
      } finally {
        await h.stop();
      }
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('one log line per request: method, path without the password, status, time', async () => {
  const before = (await host.logLines(0)).length;
  const pwd = encodeURIComponent(PASSWORD);
  const requests = [
    [`${host.url}?action=repos&pwd=${pwd}`, {}, `GET /plugin_quarlo?action=repos&pwd=*** 200`],
    [`${host.origin}/plugins?plugin=quarlo?pwd=${pwd}&action=repos`, {}, `GET /plugins?plugin=quarlo?pwd=***&action=repos 200`],
    [`${host.url}?action=repos`, { headers: { Authorization: `Bearer ${PASSWORD}` } }, 'GET /plugin_quarlo?action=repos 200'],
    [`${host.url}?action=repos`, { method: 'POST', headers: auth, body: '' }, 'POST /plugin_quarlo?action=repos 200'],
  ];
  for (let i = 0; i < requests.length; i++) {
    const [url, init, line] = requests[i];
    const res = await fetch(url, init);
    await res.arrayBuffer();
    const lines = await host.logLines(before + i + 1);
    assert.equal(lines.length, before + i + 1);
    assert.match(lines[lines.length - 1], new RegExp(`^${line.replace(/[?*+.()]/g, '\\$&')} \\d+ms$`));
  }
  for (const form of [PASSWORD, pwd, 'tide+pool', 'pool']) assert.ok(!host.log().includes(form), form);
});

test('at the time limit the program is asked to stop, then killed with what it started', async () => {
  const dir = tempBase('quarlo-host-stop-');
  const pids = path.join(dir, 'pids');
  const stopped = path.join(dir, 'stopped');
  const programs = {
    // Ends on SIGTERM after noting it, as the program stops its git children.
    'stops.sh': `trap 'echo TERM >"${stopped}"; exit 0' TERM\necho $$ >>"${pids}"\nsleep 30 &\nwait $!`,
    // Ignores SIGTERM, and so does the child it started: SIGKILL ends both.
    'stays.sh': `trap '' TERM\nsleep 300 &\necho $$ $! >>"${pids}"\nwhile :; do sleep 1; done`,
  };
  for (const [name, body] of Object.entries(programs))
    fs.writeFileSync(path.join(dir, name), `#!/bin/sh\n${body}\n`, { mode: 0o755 });
  // A process is gone once it has ended, collected or not.
  const alive = (pid) => {
    try {
      return !/^\d+ \(.*\) [ZX]/.test(fs.readFileSync(`/proc/${pid}/stat`, 'utf8'));
    } catch {
      return false;
    }
  };
  try {
    for (const name of Object.keys(programs)) {
      fs.rmSync(pids, { force: true });
      const h = await startHost({ args: ['--program', path.join(dir, name), '--timeout', '1'] });
      try {
        const res = await fetch(`${h.url}?action=repos`);
        assert.equal(res.status, 504, name);
        assert.match(await res.text(), /ran longer than 1 s and was stopped/, name);
        const started = fs.readFileSync(pids, 'utf8').trim().split(/\s+/);
        assert.ok(started.length >= 1, name);
        const left = await waitFor(() => (started.some(alive) ? null : []), () => started.filter(alive));
        assert.deepEqual(left, [], `${name}: no process of the program's group is left`);
      } finally {
        await h.stop();
      }
    }
    assert.equal(fs.readFileSync(stopped, 'utf8'), 'TERM\n');
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('at its time limit the host stops the program and every git it runs', async () => {
  const dir = tempBase('quarlo-host-hang-');
  const pids = path.join(dir, 'pids');
  // A git that starts a helper in its own group, records itself, the helper
  // and the program, and hangs; git runs in a session of its own.
  fs.mkdirSync(path.join(dir, 'bin'));
  fs.writeFileSync(
    path.join(dir, 'bin', 'git'),
    `#!/bin/sh\nsleep 300 &\necho $$ $! $PPID >> '${pids}'\nwait\n`,
    { mode: 0o755 },
  );
  const h = await startHost({
    env: { ...fx.env, PATH: `${path.join(dir, 'bin')}:${process.env.PATH}`, QUARLO_JOBS: '2' },
    args: ['--timeout', '1'],
  });
  let started = [];
  try {
    const t0 = Date.now();
    const res = await fetch(`${h.url}?action=repos`);
    assert.equal(res.status, 504);
    assert.match(await res.text(), /ran longer than 1 s/);
    assert.ok(Date.now() - t0 < 10000, 'the time limit ended the request');
    started = [...new Set(fs.readFileSync(pids, 'utf8').split(/\s+/).filter(Boolean).map(Number))];
    // The program, and at least one git with its helper.
    assert.ok(started.length >= 3, started.join(' '));
    const deadline = Date.now() + 5000;
    while (started.some((pid) => !processGone(pid)) && Date.now() < deadline)
      await new Promise((r) => setTimeout(r, 50));
    assert.deepEqual(started.filter((pid) => !processGone(pid)), [], 'still running');
  } finally {
    for (const pid of started) if (!processGone(pid)) process.kill(pid, 'SIGKILL');
    await h.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

// Sends `text` on a connection of its own and resolves with the status and
// body of the answer, once its Content-Length bytes have arrived; the
// connection stays open meanwhile, as a client's does.
function rawExchange(port, text) {
  return new Promise((resolve, reject) => {
    const sock = net.connect(port, '127.0.0.1');
    let got = Buffer.alloc(0);
    sock.on('error', reject);
    sock.on('close', () => reject(new Error(`closed without a whole answer: ${got}`)));
    sock.on('data', (d) => {
      got = Buffer.concat([got, d]);
      const end = got.indexOf('\r\n\r\n');
      if (end < 0) return;
      const head = got.subarray(0, end).toString('latin1');
      const length = Number(/\r\ncontent-length: *(\d+)/i.exec(head)?.[1] ?? NaN);
      if (got.length < end + 4 + length) return;
      sock.removeAllListeners('close');
      sock.destroy();
      resolve({ status: Number(head.split(' ')[1]), body: got.subarray(end + 4).toString('utf8') });
    });
    sock.on('connect', () => sock.write(text));
  });
}

test('a POST without a body is answered at once, as with an empty body', async () => {
  const port = new URL(host.origin).port;
  // As `curl -X POST URL` sends it: neither Content-Length nor Transfer-Encoding.
  const cases = [
    ['/plugin_quarlo?action=repos', 200, 'repos'],
    ['/plugins?plugin=quarlo?action=fetch&path=x', 403, 'fetch'],
  ];
  for (const [target, status, action] of cases) {
    const res = await rawExchange(
      port,
      `POST ${target} HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nX-Bot-Password: ${PASSWORD}\r\n\r\n`,
    );
    assert.equal(res.status, status, target);
    const answer = JSON.parse(res.body);
    if (status === 200) assert.equal(answer.action, action, target);
    else assert.equal(answer.error, 'path not in an allowlisted root', target);
  }
});

test('a request refused with its body unread still gets its whole answer', async () => {
  const port = new URL(host.origin).port;
  const head = (headers, length) =>
    `POST /plugin_quarlo?action=repos HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n${headers}Content-Length: ${length}\r\n\r\n`;
  const cases = [
    // Larger than the host takes: refused after the head.
    [head('', 2 << 20) + 'x'.repeat(2 << 20), 413],
    // From another site's page: refused before the body is read.
    [head('Origin: http://evil.example\r\n', 256 << 10) + 'x'.repeat(256 << 10), 403],
  ];
  for (const [text, status] of cases) {
    const res = await rawExchange(port, text);
    assert.equal(res.status, status);
    assert.match(res.body, new RegExp(`^${status} `));
  }
});

test('stopped by SIGTERM or SIGINT, the host leaves no program and no git running', async () => {
  const dir = tempBase('quarlo-host-signal-');
  const pids = path.join(dir, 'pids');
  // A git that hangs with a helper in its group, and records itself, the
  // helper and the program that started it (git runs in a session of its own).
  fs.mkdirSync(path.join(dir, 'bin'));
  fs.writeFileSync(
    path.join(dir, 'bin', 'git'),
    `#!/bin/sh\nsleep 300 &\necho $$ $! $PPID >> '${pids}'\nwait\n`,
    { mode: 0o755 },
  );
  const lines = () => (fs.existsSync(pids) ? fs.readFileSync(pids, 'utf8').split('\n').filter(Boolean) : []);
  let started = [];
  try {
    for (const signal of ['SIGTERM', 'SIGINT']) {
      fs.rmSync(pids, { force: true });
      const h = await startHost({
        env: { ...fx.env, BOT_PASSWORD: PASSWORD, PATH: `${path.join(dir, 'bin')}:${process.env.PATH}` },
      });
      // Four listings, each a run of its own (different queries), each held by a git.
      const requests = [1, 2, 3, 4].map((n) =>
        fetch(`${h.url}?action=repos&n=${n}`, { headers: auth }).then(
          async (res) => [res.status, await res.text()],
          () => ['closed'],
        ),
      );
      const programs = () => new Set(lines().map((l) => l.split(' ')[2]));
      assert.ok(await waitFor(() => (programs().size >= 4 ? true : null), () => false), `${signal}: 4 programs run git`);
      started = [...new Set(lines().join(' ').split(' ').map(Number))];

      const t0 = Date.now();
      const ended = await h.stop(signal);
      const took = Date.now() - t0;
      assert.deepEqual(ended, { code: null, signal }, `${signal}: the host ends as the signal asks`);
      // The grace is 2 s; the host never waits for the programs' own time limit.
      assert.ok(took < 10000, `${signal}: the host took ${took} ms to stop`);
      // The host ends once its programs have; the gits that a program killed
      // as it ended may take a moment more to die.
      const left = await waitFor(
        () => (started.some((pid) => !processGone(pid)) ? null : []),
        () => started.filter((pid) => !processGone(pid)),
        2000,
      );
      assert.deepEqual(left, [], `${signal}: still running`);
      assert.match(h.log(), new RegExp(`quarlo-host: stopped by signal \\d+\\n$`));
      for (const r of await Promise.all(requests)) assert.notEqual(r[0], 200, `${signal}: ${r}`);
    }
  } finally {
    for (const pid of started) if (!processGone(pid)) process.kill(pid, 'SIGKILL');
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

'use strict';
// The host under slow and heavy clients, with real sockets: clients that
// trickle their requests are dropped without holding up anyone else;
// identical GET requests that arrive while one runs share its run, and only
// those; runs beyond the cap queue briefly, then get 503 with Retry-After;
// foreign Host names and POSTs from other sites' pages are refused.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const diagnostics = require('node:diagnostics_channel');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const path = require('node:path');
const { buildFixture } = require('./lib/fixtures');
const { startHost, waitFor, PROGRAM_BIN } = require('./lib/host');

const PASSWORD = 'tide pool';

let fx;

before(() => {
  fx = buildFixture([
    ['app', { subject: 'Start', age: 3600, dirty: 1 }],
    ['lib', { subject: 'Start', age: 7200 }],
  ]);
});

after(() => {
  if (fx) fx.remove();
});

// True once the host has read everything that clients have sent to `port`:
// every connection to it holds no unread bytes on the host's side (Linux's
// table of TCP sockets, /proc/net/tcp; a connection not yet accepted is in it
// too). Called once `count` connections are open; false while fewer are.
function readByHost(port, count = 0) {
  const local = `0100007F:${port.toString(16).toUpperCase().padStart(4, '0')}`;
  const sockets = fs
    .readFileSync('/proc/net/tcp', 'utf8')
    .split('\n')
    .slice(1)
    .map((line) => line.trim().split(/\s+/))
    // Established connections whose host side is `port`.
    .filter((f) => f[1] === local && f[3] === '01');
  return sockets.length >= count && sockets.every((f) => Number.parseInt(f[4].split(':')[1], 16) === 0);
}

async function ask(url, init = {}) {
  const res = await fetch(url, init);
  return { status: res.status, headers: res.headers, body: await res.text() };
}

// A stand-in in front of the real program: it notes every run (method, query
// and credentials, as the program gets them) and holds it until the test
// releases it, so that the test can send requests while runs are going.
function gatedProgram() {
  const dir = fs.mkdtempSync(path.join(fx.base, 'gate-'));
  const program = path.join(dir, 'gated.sh');
  const runsFile = path.join(dir, 'runs');
  const go = path.join(dir, 'go');
  fs.writeFileSync(runsFile, '');
  fs.writeFileSync(
    program,
    `#!/bin/sh
printf '%s %s pwd=%s auth=%s\\n' "$REQUEST_METHOD" "$QUERY_STRING" \\
  "\${HTTP_X_BOT_PASSWORD-none}" "\${HTTP_AUTHORIZATION-none}" >>'${runsFile}'
while [ ! -e '${go}' ]; do sleep 0.05; done
exec '${PROGRAM_BIN}'
`,
    { mode: 0o755 },
  );
  const runs = () => fs.readFileSync(runsFile, 'utf8').split('\n').filter(Boolean);
  return {
    program,
    runs,
    // Resolves with true once `count` runs have started (false after 10 s).
    started: (count) => waitFor(() => (runs().length >= count ? true : null), () => false),
    release: () => fs.writeFileSync(go, ''),
  };
}

// How many requests fetch has written to their sockets so far.
let headsSent = 0;
diagnostics.subscribe('undici:client:sendHeaders', () => headsSent++);

// Releases the gate once `count` runs have started and the host has read the
// `requests` sent since `from` (a headsSent value): requests that reached the
// host after the run ended would rightly run anew, and a request that should
// not share must have had its chance to share wrongly.
async function releaseAfter(gate, host, count, from, requests) {
  assert.ok(await gate.started(count), `${count} runs started`);
  const port = Number(new URL(host.origin).port);
  const allRead = () => (headsSent - from >= requests && readByHost(port, 1) ? true : null);
  assert.ok(await waitFor(allRead, () => false), `${requests} requests sent and read by the host`);
  gate.release();
}

// A client that sends `head` at once, then one byte of `rest` every 200 ms
// until the host closes the connection.
function trickle(port, head, rest) {
  const sock = net.connect(port, '127.0.0.1');
  // open: connected and not yet closed.
  const t = { open: false, got: '', sent: 0 };
  let timer;
  sock.setEncoding('latin1');
  sock.on('data', (d) => (t.got += d));
  sock.on('connect', () => {
    t.open = true;
    sock.write(head);
    timer = setInterval(() => {
      if (t.sent < rest.length) sock.write(rest[t.sent++]);
    }, 200);
  });
  sock.on('error', () => {});
  sock.on('end', () => (t.open = false));
  t.closed = new Promise((resolve) =>
    sock.on('close', () => {
      t.open = false;
      clearInterval(timer);
      resolve();
    }),
  );
  return t;
}

function within(ms, promise, what) {
  let timer;
  const late = new Promise((_, reject) => (timer = setTimeout(() => reject(new Error(what)), ms)));
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

test('clients that trickle their requests are dropped and hold up no one', async () => {
  const host = await startHost({ env: fx.env });
  const port = Number(new URL(host.origin).port);
  const slow = 'a'.repeat(300); // a minute's worth at one byte per 200 ms
  // [what trickles, what is sent at once, the rest, the answer before the drop]
  const kinds = [
    ['request line', 'G', `ET /plugin_quarlo?${slow}`, ''],
    ['head', 'GET /plugin_quarlo HTTP/1.1\r\nHost: 127.0.0.1\r\n', `X-Slow: ${slow}`, 'HTTP/1.1 408 '],
    ['body', 'POST /plugin_quarlo HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 300\r\n\r\n', slow, 'HTTP/1.1 408 '],
  ];
  // More slow clients than the host once had workers.
  const clients = [];
  for (const [kind, head, rest, answer] of kinds)
    for (let i = 0; i < 4; i++) clients.push({ kind, answer, t: trickle(port, head, rest) });
  try {
    // Every slow client is connected and trickling, and the host has read
    // what each has sent so far: they hold their connections.
    const trickling = () =>
      clients.every(({ t }) => t.open && t.sent >= 2) && readByHost(port, clients.length) ? true : null;
    assert.ok(await waitFor(trickling, () => false), 'the slow clients are connected and trickling');
    const res = await ask(`${host.url}?action=repos`, { signal: AbortSignal.timeout(30000) });
    assert.equal(res.status, 200);
    assert.deepEqual(JSON.parse(res.body).repos.map((r) => r.name), ['app', 'lib']);
    for (const { kind, t } of clients) assert.ok(t.open, `the ${kind} trickler is still connected`);

    await within(40000, Promise.all(clients.map((c) => c.t.closed)), 'the host did not drop the slow clients');
    for (const { kind, answer, t } of clients) {
      assert.ok(t.sent < 300, `the ${kind} trickler was dropped before it had sent its request`);
      if (answer) assert.ok(t.got.startsWith(answer), `${kind}: ${t.got}`);
      else assert.equal(t.got, '', kind);
    }
    // The server library reports no method before a request's head is whole.
    assert.ok(await host.logLine(/^(GET|-) \/plugin_quarlo 408 \d+ms$/));
    assert.ok(await host.logLine(/^POST \/plugin_quarlo 408 \d+ms$/));
  } finally {
    await host.stop();
  }
});

test('identical listing requests that arrive while one runs share its run', async () => {
  const gate = gatedProgram();
  const host = await startHost({ env: fx.env, args: ['--program', gate.program] });
  try {
    // The proxied form gives the program the same request as the direct one.
    const urls = Array.from({ length: 20 }, (_, i) =>
      i % 4 === 3 ? `${host.origin}/plugins?plugin=quarlo?action=repos` : `${host.url}?action=repos`,
    );
    const from = headsSent;
    const answers = urls.map((u) => ask(u));
    await releaseAfter(gate, host, 1, from, urls.length);
    const got = await Promise.all(answers);
    assert.deepEqual(gate.runs(), ['GET action=repos pwd=none auth=none']);
    for (const a of got) {
      assert.equal(a.status, 200);
      assert.equal(a.body, got[0].body);
    }
    const listing = JSON.parse(got[0].body);
    assert.equal(listing.roots[0].root, fx.root);
    assert.deepEqual(listing.repos.map((r) => r.name), ['app', 'lib']);

    // A request after the run has ended runs anew.
    const later = ask(`${host.url}?action=repos`);
    assert.equal((await later).status, 200);
    assert.equal(gate.runs().length, 2);
  } finally {
    await host.stop();
  }
});

test('requests share a run only when the program sees the same request', async () => {
  const gate = gatedProgram();
  const host = await startHost({
    env: { ...fx.env, BOT_PASSWORD: PASSWORD },
    args: ['--program', gate.program, '--max-runs', '16'],
  });
  const pwd = encodeURIComponent(PASSWORD);
  const post = { method: 'POST', headers: { 'X-Bot-Password': PASSWORD }, body: '' };
  // [the request, its query after action=repos, status, the run the program gets]
  const kinds = [
    [{ headers: { 'X-Bot-Password': PASSWORD } }, '', 200, `GET action=repos pwd=${PASSWORD} auth=none`],
    [{ headers: { Authorization: `Bearer ${PASSWORD}` } }, '', 200, `GET action=repos pwd=none auth=Bearer ${PASSWORD}`],
    [{ headers: { 'X-Bot-Password': 'tide' } }, '', 401, 'GET action=repos pwd=tide auth=none'],
    [{}, '', 401, 'GET action=repos pwd=none auth=none'],
    [{}, `&pwd=${pwd}`, 200, `GET action=repos&pwd=${pwd} pwd=none auth=none`],
    // A POST may fetch: never shared.
    [post, '', 200, `POST action=repos pwd=${PASSWORD} auth=none`],
  ];
  const COPIES = 3;
  try {
    const from = headsSent;
    const sent = kinds.map(([init, query]) =>
      Array.from({ length: COPIES }, () => ask(`${host.url}?action=repos${query}`, init)),
    );
    await releaseAfter(gate, host, kinds.length - 1 + COPIES, from, kinds.length * COPIES);
    const expected = [];
    for (let k = 0; k < kinds.length; k++) {
      const [init, , status, run] = kinds[k];
      const got = await Promise.all(sent[k]);
      for (const a of got) assert.equal(a.status, status, run);
      if (init === post) {
        for (let i = 0; i < COPIES; i++) expected.push(run);
      } else {
        expected.push(run);
        for (const a of got) assert.equal(a.body, got[0].body, run);
      }
      if (status === 200) assert.deepEqual(JSON.parse(got[0].body).repos.map((r) => r.name), ['app', 'lib']);
    }
    assert.deepEqual(gate.runs().sort(), expected.sort());
  } finally {
    await host.stop();
  }
});

test('runs beyond the cap wait briefly; a full queue and a long wait get 503 with Retry-After', async () => {
  const gate = gatedProgram();
  const host = await startHost({ env: fx.env, args: ['--program', gate.program, '--max-runs', '1', '--queue', '1'] });
  try {
    const first = ask(`${host.url}?action=repos&n=1`);
    assert.ok(await gate.started(1));
    // Different queries: no sharing. One of the two waits in the queue, the
    // other finds it full and is answered at once.
    const others = [ask(`${host.url}?action=repos&n=2`), ask(`${host.url}?action=repos&n=3`)];
    const full = await Promise.race(others);
    assert.equal(full.status, 503);
    assert.equal(full.headers.get('retry-after'), '2');
    assert.match(full.body, /^503 Service Unavailable: the host is busy \(1 program runs at once, 1 waiting\)/);
    // The one in the queue gives up while the first run still holds its place.
    const [b, c] = await Promise.all(others);
    const waited = b === full ? c : b;
    assert.equal(waited.status, 503);
    assert.equal(waited.headers.get('retry-after'), '2');
    assert.match(waited.body, /no program run became free within 10 s/);
    assert.equal(gate.runs().length, 1);

    gate.release();
    assert.equal((await first).status, 200);
    assert.equal((await ask(`${host.url}?action=repos&n=4`)).status, 200);
    assert.equal(gate.runs().length, 2);
  } finally {
    await host.stop();
  }
});

// One request on a connection of its own, with exactly the headers given
// (Host included; none when `headers` has none and `setHost` is false).
function rawRequest(origin, { method = 'GET', target, headers = {}, body, setHost = true }) {
  const { hostname, port } = new URL(origin);
  return new Promise((resolve, reject) => {
    const req = http.request({ host: hostname, port, method, path: target, headers, setHost, agent: false }, (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (d) => (text += d));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: text }));
    });
    req.on('error', reject);
    req.end(body);
  });
}

test('a foreign Host gets 421 and a POST from another site 403; the local names pass', async () => {
  const host = await startHost({ env: fx.env });
  const port = new URL(host.origin).port;
  const target = '/plugin_quarlo?action=repos';
  // [method, Host (null: none sent), Origin (null: none sent), status]
  const cases = [
    ['GET', `127.0.0.1:${port}`, null, 200],
    ['GET', '127.0.0.1', null, 200],
    ['GET', `localhost:${port}`, null, 200],
    ['GET', 'LocalHost', null, 200],
    ['GET', `[::1]:${port}`, null, 200],
    ['GET', 'evil.example', null, 421],
    ['GET', `evil.example:${port}`, null, 421],
    ['GET', `localhost.evil.example:${port}`, null, 421],
    ['GET', `127.0.0.1.evil.example:${port}`, null, 421],
    ['GET', '127.0.0.1:1', null, 421],
    ['GET', `127.0.0.1:${port}@evil.example`, null, 421],
    ['GET', '', null, 421],
    // No Host at all is a malformed HTTP/1.1 request.
    ['GET', null, null, 400],
    // Only a POST's Origin is checked: another site's GET reads nothing.
    ['GET', `127.0.0.1:${port}`, 'http://evil.example', 200],
    ['POST', `127.0.0.1:${port}`, null, 200],
    ['POST', `127.0.0.1:${port}`, `http://127.0.0.1:${port}`, 200],
    ['POST', `127.0.0.1:${port}`, `http://localhost:${port}`, 200],
    ['POST', `127.0.0.1:${port}`, `http://[::1]:${port}`, 200],
    ['POST', `127.0.0.1:${port}`, 'http://evil.example', 403],
    ['POST', `127.0.0.1:${port}`, `http://evil.example:${port}`, 403],
    ['POST', `127.0.0.1:${port}`, 'http://127.0.0.1', 403],
    ['POST', `127.0.0.1:${port}`, 'http://127.0.0.1:1', 403],
    ['POST', `127.0.0.1:${port}`, `https://127.0.0.1:${port}`, 403],
    ['POST', `127.0.0.1:${port}`, 'null', 403],
    ['POST', 'evil.example', `http://127.0.0.1:${port}`, 421],
  ];
  try {
    for (const [method, hostName, origin, status] of cases) {
      const headers = {};
      if (hostName !== null) headers.Host = hostName;
      if (origin !== null) headers.Origin = origin;
      const label = `${method} Host: ${hostName} Origin: ${origin}`;
      // The POSTs send a body that the refusal leaves unread.
      const body = method === 'POST' ? 'x=1' : undefined;
      const res = await rawRequest(host.origin, { method, target, headers, body, setHost: false });
      assert.equal(res.status, status, label);
      if (status === 200) assert.equal(JSON.parse(res.body).action, 'repos', label);
      else assert.equal(res.headers.connection, 'close', label);
    }
    // Every route is guarded, the redirect too.
    const res = await rawRequest(host.origin, { target: '/', headers: { Host: 'evil.example' }, setHost: false });
    assert.equal(res.status, 421);
    assert.equal(res.body, '421 Misdirected Request: this host answers only as 127.0.0.1, localhost, [::1]\n');
  } finally {
    await host.stop();
  }
});

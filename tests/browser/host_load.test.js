'use strict';
// The host under slow and heavy clients, with real sockets: clients that
// trickle their requests are dropped without holding up anyone else.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const net = require('node:net');
const { buildFixture } = require('./lib/fixtures');
const { startHost } = require('./lib/host');

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

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function ask(url, init = {}) {
  const res = await fetch(url, init);
  return { status: res.status, headers: res.headers, body: await res.text() };
}

// A client that sends `head` at once, then one byte of `rest` every 200 ms
// until the host closes the connection.
function trickle(port, head, rest) {
  const sock = net.connect(port, '127.0.0.1');
  const t = { open: true, got: '', sent: 0 };
  let timer;
  sock.setEncoding('latin1');
  sock.on('data', (d) => (t.got += d));
  sock.on('connect', () => {
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
    await sleep(1000);
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
    assert.ok(await host.logLine(/^GET \/plugin_quarlo 408 \d+ms$/));
    assert.ok(await host.logLine(/^POST \/plugin_quarlo 408 \d+ms$/));
  } finally {
    await host.stop();
  }
});

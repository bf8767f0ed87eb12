'use strict';
// The page's bytes as the program writes them: the strict 272-byte head,
// the theme texts in their places, no marker or zero byte left, and the same
// bytes whatever the query string.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const { PROGRAM_BIN, requireBuilt, startHost } = require('./lib/host');

const HEAD =
  'Content-Type: text/html; charset=utf-8\r\n' +
  'Cache-Control: no-store\r\n' +
  'X-Content-Type-Options: nosniff\r\n' +
  "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; " +
  "img-src data:; connect-src 'self'; form-action 'none'; base-uri 'none'\r\n" +
  '\r\n';

// The program run as CGI for a GET with `query`; its standard output.
function page(query, extra = {}) {
  requireBuilt();
  const env = { PATH: process.env.PATH, REQUEST_METHOD: 'GET', QUERY_STRING: query, ...extra };
  if (query === null) delete env.QUERY_STRING;
  return execFileSync(PROGRAM_BIN, [], { env, maxBuffer: 1 << 24 });
}

test('the head is the four header lines and the empty line, 272 bytes', () => {
  const out = page('');
  assert.equal(Buffer.byteLength(HEAD), 272);
  assert.equal(out.subarray(0, 272).toString('latin1'), HEAD);
  assert.equal(out.subarray(272, 272 + 15).toString(), '<!DOCTYPE html>');
});

test('the body holds no marker or zero byte and ends the document', () => {
  const out = page('');
  const body = out.subarray(272);
  for (const b of [0, 1, 2]) assert.equal(body.indexOf(b), -1, `byte ${b}`);
  // The only byte below 0x20 in the body is the line feed.
  assert.deepEqual([...new Set(body.filter((b) => b < 0x20))], [0x0a]);
  assert.ok(body.toString().endsWith('</body></html>\n'));
  assert.doesNotThrow(() => new TextDecoder('utf-8', { fatal: true }).decode(body));
});

test('the theme texts stand in their places', () => {
  const text = page('').subarray(272).toString();
  const title = text.indexOf('<title>git</title>\n');
  const boot = text.indexOf('<script>', title);
  const palette = text.indexOf('<style>', title);
  const ownStyle = text.indexOf('<style>', palette + 1);
  assert.equal(boot, title + '<title>git</title>\n'.length, 'the bootstrap follows the title line');
  assert.ok(palette > boot && ownStyle > palette, 'the palette comes before the page style');
  // Plain declarations, for browsers without light-dark() too.
  assert.match(text.slice(palette, ownStyle), /:root \{\n  --bg: #000000;[^]*:root\[data-theme="light"\] \{\n  --bg: #f5f5f7;/);
  assert.ok(!text.includes('light-dark('));
  // The one reader of the address, in the bootstrap.
  assert.ok(text.slice(boot, palette).includes('function parseAddress('));
  assert.ok(text.slice(boot, palette).includes("'bot_theme'"));
  // The runtime is the last script, directly before the end of the body.
  const runtime = text.lastIndexOf('<script>');
  assert.ok(text.slice(runtime).includes('ks-theme-request'));
  assert.ok(text.endsWith('</script>\n</body></html>\n'));
  // The page script comes between the markup and the runtime.
  const script = text.lastIndexOf('<script>', runtime - 1);
  assert.ok(script > text.indexOf('id="drawer"'));
  assert.ok(text.slice(script, runtime).includes('function openDetail('));
});

test('different query strings get identical bytes', () => {
  const first = page('');
  for (const q of [null, 'theme=light', 'embed=1&node=alpha&id=7', 'plugin=quarlo', 'x=%00&pwd=']) {
    assert.ok(page(q).equals(first), `query ${q}`);
  }
  // With a password configured, a request that carries it gets the same page.
  assert.ok(page('pwd=s3cret', { BOT_PASSWORD: 's3cret' }).equals(first));
});

test('through the host the head becomes the HTTP headers', async () => {
  const host = await startHost();
  try {
    const res = await fetch(`${host.url}?theme=light`);
    assert.equal(res.status, 200);
    const want = HEAD.trim()
      .split('\r\n')
      .map((l) => [l.slice(0, l.indexOf(': ')), l.slice(l.indexOf(': ') + 2)]);
    for (const [name, value] of want) assert.equal(res.headers.get(name), value, name);
    const body = Buffer.from(await res.arrayBuffer());
    assert.ok(body.equals(page('').subarray(272)));
  } finally {
    await host.stop();
  }
});

'use strict';
// Times what the dashboard's table costs in Chromium for one keystroke in
// the search box, one chip click and one opening and closing of the drawer,
// over the real host and program listing the repositories below
// QUARLO_ROOTS. Each figure is script, style and layout: the handler runs,
// then style and layout are forced, as the next frame would. Prints the
// median and the slowest run of each, at both row heights. Then times a
// warm opening, with the last listing kept in the browser: from the start
// of the navigation to the first rows on screen (the kept ones), against
// the new listing landing.
const { launchBrowser, openDashboard } = require('../tests/browser/lib/browser.js');
const { startHost } = require('../tests/browser/lib/host.js');

// Runs the step `kind` in the page `runs` times, each followed by a forced
// style and layout, one frame apart; gives the times of all but the first
// four. (The page's policy allows no eval: the steps are written here.)
function timeSteps(page, kind, runs) {
  return page.evaluate(
    async ({ kind, runs }) => {
      const steps = {
        // Types one character or clears the box.
        search(i) {
          const q = document.getElementById('search');
          q.value = i % 2 ? 'r' : '';
          q.dispatchEvent(new Event('input', { bubbles: true }));
        },
        chip(i) {
          document.querySelector(i % 2 ? '[data-filter="dirty"]' : '[data-filter="all"]').click();
        },
        drawer(i) {
          if (i % 2) document.getElementById('drawerClose').click();
          else document.querySelector('#rows tr.row').click();
        },
      };
      const out = [];
      for (let i = 0; i < runs; i++) {
        const t0 = performance.now();
        steps[kind](i);
        void document.body.offsetHeight;
        out.push(performance.now() - t0);
        await new Promise((r) => requestAnimationFrame(() => setTimeout(r, 0)));
      }
      return out.slice(4);
    },
    { kind, runs },
  );
}

function report(what, times) {
  const sorted = times.slice().sort((a, b) => a - b);
  const median = sorted[Math.floor(sorted.length / 2)];
  console.log(`${what}: median ${median.toFixed(1)} ms, slowest ${sorted[sorted.length - 1].toFixed(1)} ms ` +
    `over ${sorted.length} runs`);
}

// Opens the dashboard `runs` times in `context` (which holds a kept
// listing) and gives, per opening, the milliseconds from the navigation's
// start to the first row painted and to the new listing shown.
async function warmOpens(context, url, runs) {
  const out = [];
  for (let i = 0; i < runs; i++) {
    const page = await context.newPage();
    await page.addInitScript(() => {
      window.marks = {};
      const seen = () => {
        if (!window.marks.rows && document.querySelector('#rows tr.row'))
          requestAnimationFrame(() => (window.marks.rows = window.marks.rows || performance.now()));
        const stamp = document.getElementById('stamp');
        if (!window.marks.listing && stamp && /^checked/.test(stamp.textContent)) window.marks.listing = performance.now();
      };
      new MutationObserver(seen).observe(document, { subtree: true, childList: true, characterData: true });
    });
    await page.goto(url);
    await page.waitForFunction(() => window.marks.rows && window.marks.listing, null, { timeout: 600000 });
    out.push(await page.evaluate(() => {
      const nav = performance.getEntriesByType('navigation')[0];
      return { ...window.marks, response: nav.responseEnd };
    }));
    await page.close();
  }
  return out;
}

async function main() {
  const host = await startHost({
    env: { QUARLO_ONLY_ROOTS: '1', QUARLO_ROOTS: process.env.QUARLO_ROOTS, HOME: process.env.HOME },
    // A listing of 10,000 repositories may take longer than the host's
    // usual two minutes on a busy machine.
    args: ['--timeout', '1800'],
  });
  const browser = await launchBrowser();
  try {
    const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
    // The listing of 10,000 repositories takes minutes on a busy machine.
    context.setDefaultTimeout(600000);
    // BENCH_LISTING: every listing request answered with that document.
    if (process.env.BENCH_LISTING) {
      const body = require('node:fs').readFileSync(process.env.BENCH_LISTING);
      await context.route((u) => u.searchParams.get('action') === 'repos', (route) =>
        route.fulfill({ status: 200, contentType: 'application/json; charset=utf-8', body }));
    }
    const page = await openDashboard(context, host.url);
    const count = await page.$eval('#vAll', (e) => e.textContent);
    const rows = await page.$$eval('#rows tr.row', (r) => r.length);
    console.log(`listing of ${count} repositories; ${rows} rows in the document`);

    report(`search keystroke at ${count} rows`, await timeSteps(page, 'search', 40));
    report(`chip click at ${count} rows`, await timeSteps(page, 'chip', 24));
    await page.$eval('#densityBtn', (b) => b.click());
    report(`search keystroke at ${count} compact rows`, await timeSteps(page, 'search', 40));
    await page.$eval('#densityBtn', (b) => b.click());
    // The drawer's detail request is refused: only the page's own work is timed.
    await page.route((url) => url.searchParams.get('action') === 'repo', (route) => route.abort());
    report(`drawer open or close at ${count} rows`, await timeSteps(page, 'drawer', 24));

    // For scale: the same number of rows of a bare table (five plain text
    // cells, no styles) put in with one assignment in the same browser.
    const bare = await context.newPage();
    await bare.setContent('<table><tbody id="rows"></tbody></table>');
    const floor = await bare.evaluate(async (n) => {
      const body = document.getElementById('rows');
      let html = '';
      for (let i = 0; i < n; i++)
        html += `<tr><td>repo${i}<br>main</td><td>/srv/code</td><td>-</td><td>-</td><td>change ${i}<br>abc</td></tr>`;
      const out = [];
      for (let i = 0; i < 20; i++) {
        body.textContent = '';
        void document.body.offsetHeight;
        const t0 = performance.now();
        body.innerHTML = html;
        void document.body.offsetHeight;
        out.push(performance.now() - t0);
        await new Promise((r) => setTimeout(r, 0));
      }
      return out.sort((a, b) => a - b)[10];
    }, Number(count));
    console.log(`bare table of ${count} rows put in at once, same browser: median ${floor.toFixed(1)} ms`);

    // The listing of this opening is kept: each further opening shows it at once.
    const warm = await warmOpens(context, host.url, 5);
    const median = (xs) => xs.slice().sort((a, b) => a - b)[Math.floor(xs.length / 2)];
    console.log(`warm opening at ${count} repositories: rows on screen after median ` +
      `${median(warm.map((m) => m.rows)).toFixed(0)} ms (slowest ${Math.max(...warm.map((m) => m.rows)).toFixed(0)} ms), ` +
      `the new listing after median ${median(warm.map((m) => m.listing)).toFixed(0)} ms, over ${warm.length} openings ` +
      `(the page's own answer arrived after median ${median(warm.map((m) => m.response)).toFixed(0)} ms; ` +
      `rows on screen ${median(warm.map((m) => m.rows - m.response)).toFixed(0)} ms after it)`);
  } finally {
    await browser.close();
    await host.stop();
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});

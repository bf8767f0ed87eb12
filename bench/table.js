'use strict';
// Times what the dashboard's table costs in Chromium for one keystroke in
// the search box, one chip click and one opening and closing of the drawer,
// over the real host and program listing the repositories below
// QUARLO_ROOTS. Each figure is script, style and layout: the handler runs,
// then style and layout are forced, as the next frame would. Prints the
// median and the slowest run of each.
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

async function main() {
  const host = await startHost({
    env: { QUARLO_ONLY_ROOTS: '1', QUARLO_ROOTS: process.env.QUARLO_ROOTS, HOME: process.env.HOME },
  });
  const browser = await launchBrowser();
  try {
    const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
    // The listing of 1,200 repositories takes a while on a busy machine.
    context.setDefaultTimeout(600000);
    const page = await openDashboard(context, host.url);
    const count = await page.$eval('#vAll', (e) => e.textContent);
    const rows = await page.$$eval('#rows tr.row', (r) => r.length);
    console.log(`listing of ${count} repositories; ${rows} rows in the document`);

    report(`search keystroke at ${count} rows`, await timeSteps(page, 'search', 40));
    report(`chip click at ${count} rows`, await timeSteps(page, 'chip', 24));
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
  } finally {
    await browser.close();
    await host.stop();
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});

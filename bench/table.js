'use strict';
// Times one rebuild of the dashboard's table (what a keystroke in the search
// box costs) in Chromium, over the real host and program listing the
// repositories below QUARLO_ROOTS. Prints the median and the slowest run.
const { launchBrowser, openDashboard } = require('../tests/browser/lib/browser.js');
const { startHost } = require('../tests/browser/lib/host.js');

async function main() {
  const host = await startHost({
    env: { QUARLO_ONLY_ROOTS: '1', QUARLO_ROOTS: process.env.QUARLO_ROOTS, HOME: process.env.HOME },
  });
  const browser = await launchBrowser();
  try {
    const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
    const page = await openDashboard(context, host.url);
    const rows = await page.$$eval('#rows tr.row', (r) => r.length);
    // Each run types one character or clears the box: the table is rebuilt
    // from all rows, then style and layout are forced, as the next frame would.
    const times = await page.evaluate(async () => {
      const q = document.getElementById('q');
      const out = [];
      for (let i = 0; i < 40; i++) {
        q.value = i % 2 ? 'r' : '';
        const t0 = performance.now();
        q.dispatchEvent(new Event('input', { bubbles: true }));
        void document.body.offsetHeight;
        out.push(performance.now() - t0);
        await new Promise((r) => requestAnimationFrame(() => setTimeout(r, 0)));
      }
      return out;
    });
    const warm = times.slice(4).sort((a, b) => a - b);
    const median = warm[Math.floor(warm.length / 2)];
    console.log(`table of ${rows} rows: one rebuild (search keystroke) median ${median.toFixed(1)} ms, ` +
      `slowest ${warm[warm.length - 1].toFixed(1)} ms over ${warm.length} runs`);

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
    }, rows);
    console.log(`bare table of ${rows} rows in the same browser: median ${floor.toFixed(1)} ms`);
  } finally {
    await browser.close();
    await host.stop();
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});

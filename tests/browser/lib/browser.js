'use strict';
// Debian's Chromium driven by playwright-core, and the page helpers the
// browser tests share.
const { chromium } = require('playwright-core');

const CHROMIUM = process.env.QUARLO_CHROMIUM || '/usr/bin/chromium';
const FLAGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--no-first-run',
];

// Each launch starts Chromium with a fresh profile folder of its own.
function launchBrowser() {
  return chromium.launch({ executablePath: CHROMIUM, headless: true, args: FLAGS });
}

// Opens a new page in `context` that records console errors, uncaught
// exceptions and content-security-policy violations.
async function trackedPage(context) {
  const page = await context.newPage();
  const problems = [];
  page.on('console', (m) => {
    if (m.type() === 'error') problems.push(`console: ${m.text()}`);
  });
  page.on('pageerror', (e) => problems.push(`exception: ${e.message}`));
  await page.addInitScript(() => {
    document.addEventListener('securitypolicyviolation', (e) => {
      console.error(`CSP violation: ${e.violatedDirective} ${e.blockedURI}`);
    });
  });
  page.problems = problems;
  return page;
}

// Opens the dashboard at `url` and waits until its first load has ended.
async function openDashboard(context, url) {
  const page = await trackedPage(context);
  const response = await page.goto(url);
  await waitLoaded(page);
  page.response = response;
  return page;
}

function waitLoaded(page) {
  return page.waitForFunction(() => {
    const pill = document.getElementById('rootPill');
    const rf = document.getElementById('rescan');
    return pill && pill.textContent !== 'local' && !rf.disabled;
  });
}

// The repository names of the table's rows, in order.
function rowNames(page) {
  return page.$$eval('#rows tr.row .name', (els) => els.map((e) => e.textContent));
}

// Each row's name and the tags it shows, in order.
function rowTags(page) {
  return page.$$eval('#rows tr.row', (rows) =>
    rows.map((tr) => [tr.querySelector('.name').textContent,
      [...tr.querySelectorAll('.tag')].filter((t) => t.getClientRects().length).map((t) => t.textContent)]));
}

// axe-core's findings in the page as "rule: target" lines (none: []).
async function axeProblems(page, axeSource) {
  await page.evaluate(axeSource);
  const v = await page.evaluate(async () => (await window.axe.run(document)).violations);
  return v.flatMap((x) => x.nodes.map((n) => `${x.id}: ${n.target.join(' ')}`));
}

module.exports = { launchBrowser, trackedPage, openDashboard, waitLoaded, rowNames, rowTags, axeProblems };

'use strict';
// What every browser test file starts from: its fixture repositories, the
// real host serving the program over them, and one Chromium.
const { buildFixture } = require('./fixtures');
const { startHost } = require('./host');
const { launchBrowser } = require('./browser');

// Makes the repositories `repos` (see buildFixture), lets `prepare(fx)`
// change them, then starts the host (its environment: the fixture's roots
// plus `env`) and Chromium. Resolves with { fx, host, browser }.
async function startSuite(repos, { env = {}, prepare } = {}) {
  const suite = {};
  try {
    suite.fx = buildFixture(repos);
    if (prepare) prepare(suite.fx);
    suite.host = await startHost({ env: { ...suite.fx.env, ...env } });
    suite.browser = await launchBrowser();
    return suite;
  } catch (e) {
    await stopSuite(suite);
    throw e;
  }
}

async function stopSuite({ fx, host, browser } = {}) {
  if (browser) await browser.close();
  if (host) await host.stop();
  if (fx) fx.remove();
}

module.exports = { startSuite, stopSuite };

'use strict';
// Starts the real quarlo-host (built beside the real quarlo program) on a
// free port of 127.0.0.1 and stops it again.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const HOST_BIN = process.env.QUARLO_HOST_BIN;
const PROGRAM_BIN = process.env.QUARLO_BIN;

function requireBuilt() {
  for (const [name, file] of [['QUARLO_HOST_BIN', HOST_BIN], ['QUARLO_BIN', PROGRAM_BIN]])
    if (!file || !fs.existsSync(file)) throw new Error(`${name} must name the built program (got ${file})`);
}

// The environment of the host: only what the tests choose, so that nothing
// from the caller's QUARLO_ or BOT_PASSWORD settings leaks in.
function hostEnv(extra) {
  const env = { PATH: process.env.PATH, LANG: 'C.UTF-8' };
  for (const k of ['ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS']) if (process.env[k]) env[k] = process.env[k];
  return { ...env, ...extra };
}

// Polls `get` until it gives something other than null; after `ms` (10 s by
// default) gives `last()` instead.
async function waitFor(get, last, ms = 10000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const v = get();
    if (v !== null) return v;
    if (Date.now() > deadline) return last();
    await new Promise((r) => setTimeout(r, 20));
  }
}

// Starts the host; once it prints the address it serves, resolves with
// { origin, url, log(), logLines(), logLine(), stop() }.
async function startHost({ env = {}, args = [] } = {}) {
  requireBuilt();
  const child = spawn(HOST_BIN, ['--port', '0', ...args], { env: hostEnv(env), stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  child.stderr.on('data', (d) => (err += d));
  const origin = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`quarlo-host did not start:\n${out}${err}`)), 20000);
    child.stdout.on('data', (d) => {
      out += d;
      const m = /Open (http:\/\/127\.0\.0\.1:\d+)\/plugin_quarlo/.exec(out);
      if (m) {
        clearTimeout(timer);
        resolve(m[1]);
      }
    });
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`quarlo-host exited with ${code}:\n${out}${err}`));
    });
  });
  child.removeAllListeners('exit');
  return {
    origin,
    url: `${origin}/plugin_quarlo`,
    log: () => err,
    // Resolves with the log's lines once it has at least `count` of them:
    // the host writes a request's line after its answer has gone out.
    logLines(count) {
      return waitFor(() => {
        const lines = err.split('\n').filter(Boolean);
        return lines.length >= count ? lines : null;
      }, () => err.split('\n').filter(Boolean));
    },
    // Resolves with the first log line that `re` matches (null after 10 s).
    logLine(re) {
      return waitFor(() => err.split('\n').find((l) => re.test(l)) || null, () => null);
    },
    // Sends `signal` and resolves with { code, signal } once the host has ended.
    stop(signal = 'SIGTERM') {
      return new Promise((resolve) => {
        if (child.exitCode !== null || child.signalCode !== null)
          return resolve({ code: child.exitCode, signal: child.signalCode });
        child.once('exit', (code, sig) => resolve({ code, signal: sig }));
        child.kill(signal);
      });
    },
  };
}

// True once no live process has this id; a zombie left for an unrelated
// parent to reap counts as gone.
function processGone(pid) {
  try {
    process.kill(pid, 0);
  } catch (e) {
    return e.code === 'ESRCH';
  }
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat[stat.lastIndexOf(')') + 2] === 'Z';
  } catch {
    return true;
  }
}

const ARTIFACTS = process.env.QUARLO_ARTIFACTS || path.join(process.cwd(), 'test-artifacts');

function artifactPath(name) {
  fs.mkdirSync(ARTIFACTS, { recursive: true });
  return path.join(ARTIFACTS, name);
}

module.exports = { startHost, waitFor, processGone, artifactPath, HOST_BIN, PROGRAM_BIN, requireBuilt };

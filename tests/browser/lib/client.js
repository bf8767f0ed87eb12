'use strict';
// Loads the page script (src/page/page.js) into a Node vm context with a
// minimal stand-in for the page's DOM, and gives its private functions to
// the tests. The script is the body of the page's one function: here the
// same body is compiled with a return of the functions under test appended.
const fs = require('node:fs');
const path = require('node:path');
const vm = require('node:vm');

const SOURCE = fs.readFileSync(path.join(__dirname, '..', '..', '..', 'src', 'page', 'page.js'), 'utf8');
const EXPORTS = ['api', 'esc', 'txt', 'ago', 'badges', 'matches', 'DUPS', 'codeClass', 'setCounts', 'openDetail'];

// An element with just what the script touches.
function element(id, attrs = {}) {
  const listeners = {};
  const classes = new Set();
  return {
    id,
    value: '',
    textContent: '',
    innerHTML: '',
    disabled: false,
    className: '',
    attrs: { ...attrs },
    classList: {
      add: (c) => classes.add(c),
      remove: (c) => classes.delete(c),
      contains: (c) => classes.has(c),
    },
    addEventListener: (type, fn) => (listeners[type] = listeners[type] || []).push(fn),
    getAttribute(name) {
      return name in this.attrs ? this.attrs[name] : null;
    },
    setAttribute(name, v) {
      this.attrs[name] = String(v);
    },
    querySelectorAll: () => [],
    fire(type) {
      for (const fn of listeners[type] || []) fn.call(this, { type });
    },
  };
}

// Runs the script for a page whose URL query is `search`, with `storage` as
// local storage; `fetch` records the calls and answers `answer(url)` (a
// pending promise by default). `now` fixes Date.now() in milliseconds.
function loadClient({ search = '', storage = {}, answer, now } = {}) {
  const ids = ['rootPill', 'thBtn', 'rfBtn', 'vAll', 'vDirty', 'vAhead', 'vBehind', 'vStash', 'q', 'sc', 'rows',
    'empty', 'scrim', 'drawer', 'dName', 'dClose', 'dBody'];
  const els = Object.fromEntries(ids.map((id) => [id, element(id)]));
  const chips = ['all', 'dirty', 'ahead', 'behind', 'stash'].map((f) => element('', { 'data-filter': f }));
  const calls = [];
  const document = {
    getElementById: (id) => els[id] || null,
    querySelectorAll: (sel) => (sel === '.chip' ? chips : []),
    addEventListener: () => {},
  };
  const context = {
    document,
    location: { search },
    localStorage: {
      getItem: (k) => (k in storage ? storage[k] : null),
    },
    fetch(url, options) {
      calls.push({ url, options });
      return answer ? Promise.resolve(answer(url)) : new Promise(() => {});
    },
    URLSearchParams,
    encodeURIComponent,
    console,
  };
  context.window = context;
  vm.createContext(context);
  if (now !== undefined) vm.runInContext(`Date.now = function () { return ${now}; };`, context);
  const fns = vm.runInContext(`(function () {\n${SOURCE}\nreturn { ${EXPORTS.join(', ')} };\n})()`, context, {
    filename: 'page.js',
  });
  return { fns, els, chips, calls, context };
}

module.exports = { loadClient };

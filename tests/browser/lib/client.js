'use strict';
// Loads the page script (src/page/page.js) into a Node vm context with a
// minimal stand-in for the page's DOM, and gives its private functions to
// the tests. The script is the body of the page's one function: here the
// same body is compiled with a return of the functions under test appended.
const fs = require('node:fs');
const path = require('node:path');
const vm = require('node:vm');

const SOURCE = fs.readFileSync(path.join(__dirname, '..', '..', '..', 'src', 'page', 'page.js'), 'utf8');
const EXPORTS = ['api', 'esc', 'txt', 'ago', 'badges', 'matches', 'DUPS', 'codeClass', 'setCounts', 'openDetail',
  'rowHtml', 'sorted', 'noticesHtml', 'detailHtml'];

// An element with just what the script touches: attributes, classes,
// listeners and a list of children.
function element(id, attrs = {}) {
  const listeners = {};
  const classes = new Set();
  const el = {
    id,
    value: '',
    innerHTML: '',
    disabled: false,
    className: '',
    style: {},
    options: [],
    children: [],
    parentNode: null,
    attrs: { ...attrs },
    classList: {
      add: (c) => classes.add(c),
      remove: (c) => classes.delete(c),
      contains: (c) => classes.has(c),
      toggle: (c, on = !classes.has(c)) => (on ? classes.add(c) : classes.delete(c), on),
    },
    get textContent() {
      return this.text === undefined ? '' : this.text;
    },
    set textContent(v) {
      this.text = v;
      this.children = [];
    },
    get firstChild() {
      return this.children[0] || null;
    },
    get nextSibling() {
      const list = this.parentNode ? this.parentNode.children : [];
      return list[list.indexOf(this) + 1] || null;
    },
    appendChild(child) {
      return this.insertBefore(child, null);
    },
    insertBefore(child, before) {
      if (child.parentNode) child.parentNode.removeChild(child);
      const at = before ? this.children.indexOf(before) : -1;
      this.children.splice(at < 0 ? this.children.length : at, 0, child);
      child.parentNode = this;
      return child;
    },
    removeChild(child) {
      this.children.splice(this.children.indexOf(child), 1);
      child.parentNode = null;
      return child;
    },
    addEventListener: (type, fn) => (listeners[type] = listeners[type] || []).push(fn),
    getAttribute(name) {
      return name in this.attrs ? this.attrs[name] : null;
    },
    setAttribute(name, v) {
      this.attrs[name] = String(v);
    },
    removeAttribute(name) {
      delete this.attrs[name];
    },
    getBoundingClientRect: () => ({ top: 0, height: 0 }),
    querySelectorAll: () => [],
    contains: () => false,
    focus() {},
    fire(type) {
      for (const fn of listeners[type] || []) fn.call(this, { type });
    },
  };
  return el;
}

// A template element: its content holds one element per table row of the
// text put into it.
function template() {
  const content = element('');
  return {
    content,
    set innerHTML(html) {
      content.children = [];
      for (const m of html.matchAll(/<tr [^>]*data-p="([^"]*)"/g)) content.appendChild(element('', { 'data-p': m[1] }));
    },
  };
}

// Runs the script for a page whose URL query is `search`, with `storage` as
// local storage and `session` as session storage; `fetch` records the calls
// and answers `answer(url)` (a pending promise by default). `now` fixes Date.now() in milliseconds.
function loadClient({ search = '', storage = {}, session = {}, answer, now } = {}) {
  const ids = ['rootPill', 'stamp', 'thBtn', 'rfBtn', 'banner', 'chips', 'vAll', 'vDirty', 'vAhead', 'vBehind', 'vStash',
    'q', 'sc', 'so', 'shown', 'clr', 'notices', 'panel', 'loadbar', 'rows', 'empty', 'live', 'scrim', 'drawer', 'dName',
    'dClose', 'dBody'];
  const els = Object.fromEntries(ids.map((id) => [id, element(id)]));
  // The options of the two selects, as the page's markup has them.
  els.sc.options = ['', 'dirty', 'clean', 'ahead', 'behind', 'detached', 'noup', 'error'].map((value) => ({ value }));
  els.so.options = ['', 'name', 'age', 'sync', 'state'].map((value) => ({ value }));
  const chips = ['all', 'dirty', 'ahead', 'behind', 'stash'].map((f) => element('', { 'data-filter': f }));
  const calls = [];
  const document = {
    getElementById: (id) => els[id] || null,
    querySelectorAll: (sel) => (sel === '.chip' ? chips : []),
    querySelector: () => null,
    createElement: (tag) => (tag === 'template' ? template() : element('')),
    addEventListener: () => {},
    activeElement: null,
  };
  const context = {
    document,
    location: { search },
    localStorage: {
      getItem: (k) => (k in storage ? storage[k] : null),
    },
    sessionStorage: {
      getItem: (k) => (k in session ? session[k] : null),
    },
    // No timer runs: the page's clock and its announcements stay still.
    setTimeout: () => 0,
    clearTimeout: () => {},
    setInterval: () => 0,
    requestAnimationFrame: () => 0,
    innerWidth: 1440,
    innerHeight: 900,
    addEventListener: () => {},
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

'use strict';
// Loads parts of the page script (src/page/js/) into a Node vm context the
// way the page runs them: their texts joined, in the order given, as the
// body of one function. Gives every function and variable the parts declare
// at their top level. Only parts that touch no document at their top level
// can be loaded; the functions given are the model's, which never do.
const fs = require('node:fs');
const path = require('node:path');
const vm = require('node:vm');

const DIR = path.join(__dirname, '..', '..', '..', 'src', 'page', 'js');

// `now` fixes Date.now() in milliseconds; `globals` adds names to the context.
function loadParts(parts, { now, globals = {} } = {}) {
  const source = parts.map((p) => fs.readFileSync(path.join(DIR, p), 'utf8')).join('\n');
  const names = new Set();
  for (const m of source.matchAll(/^(?:function\s+([A-Za-z_$][\w$]*)|var\s+([A-Za-z_$][\w$]*))/gm)) names.add(m[1] || m[2]);
  const context = vm.createContext({ URLSearchParams, encodeURIComponent, console, ...globals });
  if (now !== undefined) vm.runInContext(`Date.now = function () { return ${now}; };`, context);
  const body = `${source}\nreturn { ${[...names].join(', ')} };`;
  return vm.runInContext(`(function () {\n${body}\n})()`, context, { filename: 'page-parts.js' });
}

// The parts with no document at their top level.
const PURE = ['10-util.js', '12-address-read.js', '15-address.js', '25-kept.js', '30-model.js', '40-table.js', '55-load.js', '60-drawer.js'];

module.exports = { loadParts, PURE };

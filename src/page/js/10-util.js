// The dashboard's behaviour, in parts. page.html wraps the parts, joined in
// the order of their file names, in one function that runs at once, so none
// of their names is global. This part: small helpers for text, numbers,
// ages and storage.
'use strict';

var NONE_FOUND_TEXT = 'No repositories found under the allowlisted roots.';
var NO_MATCH_TEXT = 'No repositories match these filters.';

function $(id) {
  return document.getElementById(id);
}

// Each storage access is guarded: a browser may refuse storage, and a
// write may fail when the storage is full.
function storedValue(key) {
  try {
    return localStorage.getItem(key) || '';
  } catch (e) {
    return '';
  }
}

function sessionValue(key) {
  try {
    return sessionStorage.getItem(key) || '';
  } catch (e) {
    return '';
  }
}

var ESC_MAP = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };

function esc(v) {
  if (v === null || v === undefined) return '';
  return String(v).replace(/[&<>"']/g, function (c) {
    return ESC_MAP[c];
  });
}

function setText(id, v) {
  var el = $(id);
  if (el && el.textContent !== String(v)) el.textContent = v;
}

// A number from the server, 0 when missing or not a number.
function num(v) {
  v = Number(v);
  return isFinite(v) ? v : 0;
}

function str(v) {
  return v === null || v === undefined ? '' : String(v);
}

function errorText(e) {
  return e && e.message ? e.message : str(e);
}

function plural(n, one, many) {
  return n + ' ' + (n === 1 ? one : many);
}

var AGE_STEPS = [
  [60, 1, 's'],
  [3600, 60, 'm'],
  [86400, 3600, 'h'],
  [2592000, 86400, 'd'],
  [31536000, 2592000, 'mo'],
];

// The age of a Unix time `ct` (seconds) as a short text: "5m ago".
function ago(ct) {
  if (!ct) return '-';
  var s = Math.floor(Date.now() / 1000) - ct;
  if (!(s > 0)) s = 0;
  for (var i = 0; i < AGE_STEPS.length; i++)
    if (s < AGE_STEPS[i][0]) return Math.floor(s / AGE_STEPS[i][1]) + AGE_STEPS[i][2] + ' ago';
  return Math.floor(s / 31536000) + 'y ago';
}

function clockTime(ms) {
  var d = new Date(ms);
  return [d.getHours(), d.getMinutes(), d.getSeconds()]
    .map(function (v) {
      return (v < 10 ? '0' : '') + v;
    })
    .join(':');
}

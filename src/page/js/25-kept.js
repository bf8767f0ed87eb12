// The last good listing kept in the browser's local storage, one per node,
// so that the page shows rows at once on its next opening while it asks
// for new ones. Only the listing document is kept (never the password);
// a refused password (401) forgets it. `store` is the storage to use.

function keptKey(node) {
  return 'quarlo_listing' + (node ? '_' + node : '');
}

// Keeps the listing `d`, packed (packListing). A write the storage refuses
// (its quota full, say) drops what was kept for the node instead of
// breaking the page: the next opening then waits for its listing as before.
function keepListing(store, node, d) {
  try {
    store.setItem(keptKey(node), JSON.stringify(packListing(d)));
  } catch (e) {
    forgetListing(store, node);
  }
}

// The listing kept for the node, or null when there is none or it is not a
// listing.
function keptListing(store, node) {
  try {
    var d = unpackListing(JSON.parse(store.getItem(keptKey(node)) || 'null'));
    return d && typeof d === 'object' && Array.isArray(d.repos) ? d : null;
  } catch (e) {
    return null;
  }
}

// The kept form of a listing, small enough for a browser's few megabytes of
// local storage at 10,000 repositories (about a quarter of the document as it
// came): the document without its rows, and the rows by column (packRows).
function packListing(d) {
  var rest = {};
  Object.keys(d).forEach(function (k) {
    if (k !== 'repos') rest[k] = d[k];
  });
  return { packed: 1, doc: rest, n: d.repos.length, rows: packRows(d.repos) };
}

// The listing again from its kept form; a listing kept whole (as earlier
// pages kept it) is taken as it is.
function unpackListing(p) {
  if (!p || typeof p !== 'object' || p.packed !== 1) return p;
  var d = {};
  Object.keys(p.doc).forEach(function (k) {
    d[k] = p.doc[k];
  });
  d.repos = unpackRows(p.rows, p.n);
  return d;
}

function isRecord(v) {
  return v !== null && typeof v === 'object' && !Array.isArray(v);
}

// Objects by column: their keys in the order first met, and per key the
// column of values. A column of objects is packed so in turn; any other is
// written as runs, a value and how many rows in a row have it ([v, n, ...]),
// so that a root, a branch or an empty error shared by many rows is written
// once. A key an object lacks reads back as null.
function packRows(rows) {
  var keys = [];
  var seen = {};
  rows.forEach(function (r) {
    Object.keys(r).forEach(function (k) {
      if (!seen[k]) keys.push(k);
      seen[k] = true;
    });
  });
  var cols = keys.map(function (k) {
    var vals = rows.map(function (r) {
      return k in r ? r[k] : null;
    });
    if (vals.length && vals.every(isRecord)) return { rows: packRows(vals) };
    var runs = [];
    vals.forEach(function (v) {
      var last = runs.length - 2;
      if (last >= 0 && runs[last] === v) runs[last + 1]++;
      else runs.push(v, 1);
    });
    return runs;
  });
  return { keys: keys, cols: cols };
}

function unpackRows(p, n) {
  var rows = [];
  for (var i = 0; i < n; i++) rows.push({});
  p.keys.forEach(function (k, c) {
    var col = p.cols[c];
    var vals = [];
    if (Array.isArray(col)) {
      for (var j = 0; j < col.length; j += 2)
        for (var m = 0; m < col[j + 1]; m++) vals.push(col[j]);
    } else {
      vals = unpackRows(col.rows, n);
    }
    for (var r = 0; r < n; r++) rows[r][k] = vals[r];
  });
  return rows;
}

function forgetListing(store, node) {
  try {
    store.removeItem(keptKey(node));
  } catch (e) {}
}

// The local storage, or null where the browser refuses it.
function localStore() {
  try {
    return window.localStorage || null;
  } catch (e) {
    return null;
  }
}

// The last good listing kept in the browser's local storage, one per node,
// so that the page shows rows at once on its next opening while it asks
// for new ones. Only the listing document is kept (never the password);
// a refused password (401) forgets it. `store` is the storage to use.

function keptKey(node) {
  return 'quarlo_listing' + (node ? '_' + node : '');
}

// Keeps the listing `d`. A write the storage refuses (its quota full, say)
// drops what was kept for the node instead of breaking the page: the next
// opening then waits for its listing as before.
function keepListing(store, node, d) {
  try {
    store.setItem(keptKey(node), JSON.stringify(d));
  } catch (e) {
    forgetListing(store, node);
  }
}

// The listing kept for the node, or null when there is none or it is not a
// listing.
function keptListing(store, node) {
  try {
    var d = JSON.parse(store.getItem(keptKey(node)) || 'null');
    return d && typeof d === 'object' && Array.isArray(d.repos) ? d : null;
  } catch (e) {
    return null;
  }
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

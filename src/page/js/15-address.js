// The page's address: the connection (plugin, node, session id, password)
// and the view it names, and the address of each call to the program, from
// the address as 12-address-read.js reads it. Nothing here reaches the
// document.

// The query text of `address` (from parseAddress) with the parameters of
// `changes` set: a value replaces the first parameter of that name (later
// ones go) or is added at the end; an empty value removes the parameter.
// Every other parameter keeps its text and its place, and the parameters
// that followed a second '?' still do.
function editAddress(address, changes) {
  var out = [], done = {}, carryQuestion = false;
  address.parts.forEach(function (p, i) {
    var changed = Object.prototype.hasOwnProperty.call(changes, p.name);
    if (changed && (done[p.name] || !changes[p.name])) {
      // A removed '?' separator passes to the next parameter kept.
      if (p.sep === '?' && i > 0) carryQuestion = true;
      return;
    }
    var sep = carryQuestion ? '?' : p.sep;
    carryQuestion = false;
    if (changed) {
      done[p.name] = true;
      out.push({ sep: sep, raw: encodeURIComponent(p.name) + '=' + encodeURIComponent(changes[p.name]) });
    } else {
      out.push({ sep: sep, raw: p.raw });
    }
  });
  for (var name in changes)
    if (Object.prototype.hasOwnProperty.call(changes, name) && changes[name] && !done[name])
      out.push({ sep: '&', raw: encodeURIComponent(name) + '=' + encodeURIComponent(changes[name]) });
  return out
    .map(function (p, i) {
      return (i ? p.sep : '?') + p.raw;
    })
    .join('');
}

// The connection named by the address `params`. The password is the
// address's own, else the one kept for the tab's session (`session(key)`),
// else the one the bot keeps for the node or the active one (`local(key)`).
function connectionOf(params, session, local) {
  var node = params.get('node') || '';
  var pwdKey = passwordKey(node);
  return {
    plugin: params.get('plugin') || '',
    node: node,
    id: params.get('id') || '',
    pwdKey: pwdKey,
    pwd: params.get('pwd') || session(pwdKey) || (node ? local('bot_pwd_' + node) : '') || local('bot_active_pwd'),
  };
}

// The address of a call: `action` and the `extra` parameters (already
// encoded) for the connection `conn`, on the bot's proxied route when the
// page came through it.
function apiUrl(conn, action, extra) {
  var url = conn.plugin ? '/plugins?plugin=' + encodeURIComponent(conn.plugin) : '/plugin_quarlo';
  url += '?action=' + encodeURIComponent(action);
  if (extra) url += '&' + extra;
  if (conn.node) url += '&node=' + encodeURIComponent(conn.node);
  if (conn.id) url += '&id=' + encodeURIComponent(conn.id);
  if (conn.pwd) url += '&pwd=' + encodeURIComponent(conn.pwd);
  return url;
}

var CHIP_NAMES = /^(dirty|ahead|behind|stash|needs|here)$/;

// The view the address names, each value checked: { chip, state, q, sort }
// with '' for what it does not name or names wrongly.
function viewOf(params, stateNames, sortKeys) {
  var chip = params.get('chip') || '', state = params.get('state') || '', sort = params.get('sort') || '';
  return {
    chip: CHIP_NAMES.test(chip) ? chip : '',
    state: Object.prototype.hasOwnProperty.call(stateNames, state) ? state : '',
    q: params.get('q') || '',
    sort: Object.prototype.hasOwnProperty.call(sortKeys, sort.replace(/^-/, '')) ? sort : '',
  };
}

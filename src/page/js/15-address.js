// The page's address: the connection (plugin, node, session id, password)
// and the view it names, and the address of each call to the program.
// Nothing here reaches the document.

// Decodes one name or value of the address as a form does ('+' is a
// space); a malformed escape leaves the text as it stands.
function decodeParam(text) {
  text = text.replace(/\+/g, ' ');
  try {
    return decodeURIComponent(text);
  } catch (e) {
    return text;
  }
}

// The parameters of the page's query text `search` ("?a=1&b=2"), read as
// the bot writes them: the text after the first '?' split at every '&' and
// at every further '?'. The bot's proxied address puts the plugin's own
// parameters after a second '?' ("?plugin=quarlo?embed=1&node=alpha"), and
// any mix of the two works. Gives { parts, get(name) }: each part keeps the
// separator before it ('?' or '&') and its raw text, so the address can be
// written back as it was (editAddress); get gives the first value of
// `name`, or null.
function parseAddress(search) {
  var parts = [];
  var re = /([?&])([^?&]*)/g, m;
  search = str(search);
  if (search && search.charAt(0) !== '?') search = '?' + search;
  while ((m = re.exec(search))) {
    if (!m[2]) continue;
    var eq = m[2].indexOf('=');
    parts.push({
      sep: m[1],
      raw: m[2],
      name: decodeParam(eq < 0 ? m[2] : m[2].slice(0, eq)),
      value: eq < 0 ? '' : decodeParam(m[2].slice(eq + 1)),
    });
  }
  return {
    parts: parts,
    get: function (name) {
      for (var i = 0; i < parts.length; i++) if (parts[i].name === name) return parts[i].value;
      return null;
    },
  };
}

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

// Embed mode: the host frame owns the title and the theme.
function embedOf(address) {
  var v = address.get('embed');
  return v === '1' || v === 'true';
}

// The theme the address asks for: 'light', 'dark' or ''.
function themeOf(address) {
  var m = /^(light|dark)/.exec(address.get('theme') || '');
  return m ? m[1] : '';
}

// The connection named by the address `params`. The password is the
// address's own, else the one kept for the tab's session (`session(key)`),
// else the one the bot keeps for the node or the active one (`local(key)`).
function connectionOf(params, session, local) {
  var node = params.get('node') || '';
  var pwdKey = 'quarlo_pwd' + (node ? '_' + node : '');
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

// Reading the page's address, one way for every script that reads it: the
// dashboard's, the password page's and the theme bootstrap's (the build
// puts this file in each). Nothing here reaches the document.

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
  search = search === null || search === undefined ? '' : String(search);
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

// The name a password is kept under for the tab's session: one per node.
function passwordKey(node) {
  return 'quarlo_pwd' + (node ? '_' + node : '');
}
